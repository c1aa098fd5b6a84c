#pragma once

#include "vserver/ControllerScript.h"

// The controller commands the tests script and count, by name.
inline const CommandKey kBegin = storageCommand(0x00);
inline const CommandKey kEnd = storageCommand(0x01);
inline const CommandKey kIndexInfo = storageCommand(0x03);
inline const CommandKey kPartInfo = storageCommand(0x04);
inline const CommandKey kAttach = storageCommand(0x05);
inline const CommandKey kDetach = storageCommand(0x06);
inline const CommandKey kCreate = storageCommand(0x07);
inline const CommandKey kDelete = storageCommand(0x08);
inline const CommandKey kHandOver = storageCommand(0x09);
inline const CommandKey kStatus = storageCommand(0x0A);
inline const CommandKey kBeginExtended = storageCommand(0x12);
inline const CommandKey kSecureBegin = storageCommand(0x20);
inline const CommandKey kSecureProcess = storageCommand(0x22);
inline const CommandKey kSecureEnd = storageCommand(0x23);
inline const CommandKey kStaging = storageCommand(0x26);
inline const CommandKey kOrbe = oemCommand(0xA9);
inline const CommandKey kStorageType = oemCommand(0xAD);
inline const CommandKey kAccessState = oemCommand(0xAE);
inline const CommandKey kGeneration = oemCommand(0xBD);
inline const CommandKey kCapability = oemCommand(0xBF);
