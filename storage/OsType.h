#pragma once

// Host operating-system codes of the storage layer's osType; -1 until the
// host has been detected.
enum OsTypeCode : int {
    OS_UNDETECTED = -1,
    REDHAT = 0,
    SUSE = 1,
    XENSERVER = 4,
    ELI = 5,
    ESX = 6,
    ESX4 = 8,
    ELI_NEW = 9,
    ESX4_1 = 11,
    CENTOS = 12,
    ESXi = 14,
};

// The ESX hosts before ESXi, which keep a service console of their own.
inline bool isClassicEsx(int osType) {
    return osType == ESX || osType == ESX4 || osType == ESX4_1;
}
