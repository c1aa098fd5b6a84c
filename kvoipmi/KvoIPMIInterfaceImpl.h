#pragma once

// Facade of the IPMI transport library: starts the library, exchanges one
// command on the calling thread's session, releases that session.

#include "baseutils/Export.h"
#include "baseutils/KvoString.h"
#include "kvoipmi/KvoIPMICommandData.h"

// Status values of the facade.
constexpr unsigned int KVO_IPMI_SUCCESS = 0;
constexpr unsigned int KVO_IPMI_DRIVER_LOAD_FAILED = 1;
constexpr unsigned int KVO_IPMI_INVALID_PARAMETER = 0x101;
constexpr unsigned int KVO_IPMI_DEVICE_FAILURE = 0x140;

class KVO_EXPORT KvoIPMIInterfaceImpl {
public:
    KvoIPMIInterfaceImpl();
    // Destroys every session of the process and stops the library's logging.
    virtual ~KvoIPMIInterfaceImpl();

    // settings may be null (the library's defaults apply).
    unsigned int Initialize(const _KvoIPMIConfiguration* settings);
    unsigned int Initialize(KvoString configurationFileName);
    void InitializeKvoLogger();

    // 0 when the exchange completed (the completion code is in the response
    // buffer), 257 for a null record, 320 when the device or exchange failed.
    unsigned int IPMIRequest(_KvoIPMICommandData* command);

    // Releases the calling thread's session; always 1.
    unsigned int Release();
};
