// The IPMI library's configuration file reader (KvoIPMIConfig.xml).
#include "baseutils/KvoString.h"
#include "kvoipmi/KvoIPMIXMLConfiguration.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzHost();
    writeInputFile("KvoIPMIConfig.xml", data, size);
    KvoIPMIXMLConfig config(KvoString("KvoIPMIConfig.xml"));
    if (config.Initialize()) {
        for (const char* key : {"RetryCount", "RetryInterval", "PollingInterval", "PollingCount",
                                "PollingByte", "PollingStatus"}) {
            int value = 0;
            config.GetConfigInt(KvoString(key), &value);
        }
    }
    config.Release();
    return 0;
}
