// The package description readers: the component id (get_comp_id) and the
// recovery-state bypass built on it, on package.xml.
#include <string>

#include "storage/SecureVesk.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzHost();
    static secureVesk* layer = new secureVesk();
    writeInputFile("package.xml", data, size);
    std::string componentId;
    layer->get_comp_id(componentId);
    layer->byPassRecoveryState();
    return 0;
}
