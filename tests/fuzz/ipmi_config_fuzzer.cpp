// The IPMI library's configuration file reader (KvoIPMIConfig.xml).
#include <libxml/xmlerror.h>

#include "baseutils/KvoString.h"
#include "kvoipmi/KvoIPMIXMLConfiguration.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

void ignoreParserMessage(void*, const char*, ...) {}

}  // namespace

// The reader parses with libxml2's defaults, which print every parser error
// on stderr: kept off here, so that the log shows the fuzzer's own lines.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    xmlSetGenericErrorFunc(nullptr, ignoreParserMessage);
    return 0;
}

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
