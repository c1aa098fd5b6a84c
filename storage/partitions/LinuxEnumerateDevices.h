#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Device name letters of disk and old-style generic nodes: 0 gives "a", 25
// "z", 26 "aa", 701 "zz", 702 "aaa", 18 277 "zzz". Empty outside 0..18 277.
std::string deviceLetters(int n);

// The FAT volume label entry of the device at path, read straight from the
// device; empty when there is none or the device cannot be opened.
std::string getLabel(const std::string& path);

// How a FAT volume lays out its room.
struct FatGeometry {
    std::uint64_t clusterBytes = 0;
    std::uint64_t clusters = 0;     // data clusters of the volume
    std::uint64_t rootEntries = 0;  // fixed root directory (FAT12/16); 0: it grows (FAT32)
};

// The geometry of the FAT volume on the device at path, from its boot
// sector; false when there is none or the device cannot be opened.
bool readFatGeometry(const std::string& path, FatGeometry& geometry);

// Finds the disk that carries the FAT volume with a given label: SCSI generic
// nodes of emulated (USB) hosts are paired with disk nodes by host, channel,
// id and lun, and each paired disk's label is read.
class CLinuxEnumerateDevices {
public:
    struct sg_device_info {
        sg_scsi_id id;           // as SG_GET_SCSI_ID answers it
        std::string devicePath;  // disk paired with the generic node; empty until paired
    };

    // The kernel's answer to SCSI_IOCTL_GET_IDLUN.
    struct scsi_idlun {
        std::uint32_t dev_id;  // target id bits 0-7, lun 8-15, channel 16-23, host 24-31
        std::uint32_t host_unique_id;
    };

    // emulatedOnly: skip the generic nodes and take every disk as a candidate
    // (the sg driver is not loaded).
    explicit CLinuxEnumerateDevices(bool emulatedOnly);
    ~CLinuxEnumerateDevices();
    CLinuxEnumerateDevices(const CLinuxEnumerateDevices&) = delete;
    CLinuxEnumerateDevices& operator=(const CLinuxEnumerateDevices&) = delete;

    // Sets device to the disk whose volume label starts with label; leaves it
    // alone when none does. False when the devices could not be enumerated.
    bool GetDeviceWithLabel(const std::string& label, std::string& device);

    bool GetAllSGDevices();
    bool GetEumlatedSGDevices();
    bool GetSDDevices();
    void SearchSGDevice(const std::string& path, const scsi_idlun& idlun, int hostNumber);

    const std::map<std::string, sg_device_info>& devices() const { return sgDevices; }
    const std::vector<std::string>& genericPaths() const { return sgDevicePaths; }

private:
    std::map<std::string, sg_device_info> sgDevices;
    std::vector<std::string> sgDevicePaths;
    bool emulatedOnly;
};
