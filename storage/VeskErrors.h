#pragma once

// Error numbers of the storage layer, left in secureVesk::lastError and read
// by the inventory driver with getQuibError.
enum QuibError : unsigned char {
    QUIB_NO_ERROR = 0,
    QUIB_NO_SESSION = 2,
    QUIB_INVALID_PARTITION = 3,
    QUIB_DROPBOX_TOO_SMALL = 4,
    QUIB_SESSION_BEGIN_FAILED = 5,
    QUIB_COPY_ALREADY_STARTED = 12,
    QUIB_DROPBOX_ATTACH_FAILED = 14,
    QUIB_IPMI_DRIVER_MISSING = 15,
    QUIB_IPMI_LIBRARY_FAILED = 16,
    QUIB_NO_OBJECT = 17,
    QUIB_NO_STORAGE = 20,
    QUIB_DROPBOX_CREATE_FAILED = 22,
    QUIB_DETACH_FAILED = 23,
    QUIB_HASH_TRANSFER_FAILED = 24,
    QUIB_DROPBOX_DELETE_FAILED = 25,
    QUIB_MOUNT_NOT_FOUND = 27,
    QUIB_SESSION_ALREADY_ACTIVE = 29,
    QUIB_SESSION_END_FAILED = 30,
    QUIB_INTERNAL_ERROR = 31,
    QUIB_INVALID_RECORD_REQUEST = 32,
    QUIB_ANSWER_FILE_MISSING = 33,
    QUIB_NO_DYNAMIC_SLOT = 35,
    QUIB_DROPBOX_TOO_LARGE = 36,
    QUIB_ATTACH_FAILED = 37,
    QUIB_DELETE_PARTITION_FAILED = 44,
    QUIB_ACCESS_STATE_FAILED = 45,
    QUIB_IPMI_INIT_FAILED = 46,
    QUIB_COPY_VERIFY_FAILED = 47,
    QUIB_GET_STATE_FLAG_FAILED = 48,
    QUIB_SET_STATE_FLAG_FAILED = 49,
    QUIB_NO_COMPONENT_ID = 53,
    QUIB_WRONG_QUERY_TYPE = 54,
    QUIB_ACCESS_DISABLED = 55,
    QUIB_USB_ARBITRATOR_RUNNING = 56,
    QUIB_PAYLOAD_TOO_LARGE = 59,
    QUIB_SECURE_UPDATE_BEGIN_FAILED = 60,
    QUIB_SECURE_UPDATE_PROCESS_FAILED = 61,
    QUIB_SECURE_UPDATE_END_FAILED = 62,
    QUIB_SESSION_START_ERROR = 63,
    QUIB_UPDATE_DROPBOX_FAILED = 64,
    QUIB_USB_BLOCKLISTED = 65,
    QUIB_STAGE_FAILED = 66,
    QUIB_STAGE_NOT_SUPPORTED = 67,
    QUIB_QUENTA_UPDATE_REQUIRED = 68,
    QUIB_BITLOCKER_POLICY = 70,
    // Another run kept the host's storage lock for the whole wait.
    QUIB_STORAGE_BUSY = 71,
    // A placement destination would lead out of its partition.
    QUIB_DESTINATION_OUTSIDE = 72,
    // The storage lock's directory or file is a link or not root's alone.
    QUIB_STORAGE_LOCK_UNSAFE = 73,
    // The process cannot become root.
    QUIB_NOT_ROOT = 74,
    // The IPMI exchange ended without an answer from the controller.
    QUIB_CONTROLLER_SILENT = 75,
    // The package description names no version for the record.
    QUIB_NO_PACKAGE_VERSION = 76,
    // Placement files larger than the partition they go to.
    QUIB_PAYLOAD_EXCEEDS_PARTITION = 77,
};

// Operations of the layer leave by raising their error number; the guard of
// secureVesk catches it at the operation's end.
[[noreturn]] inline void raiseQuibError(unsigned char error) {
    throw error;
}
