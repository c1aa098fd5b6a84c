// The package description readers: the component id (get_comp_id), the
// recovery-state bypass built on it, and the record update's package reader,
// on package.xml; the same bytes as the record update's device input. The
// records document built from either must be well-formed.
#include <libxml/parser.h>

#include <string>

#include "baseutils/XmlHandles.h"
#include "storage/SecureVesk.h"
#include "storage/UpdatePyx.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

void checkWellFormed(const std::string& records) {
    XmlDocument document(xmlReadMemory(records.data(), static_cast<int>(records.size()),
                                       "records", nullptr,
                                       XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!document) {
        fuzzFinding("the records document is not well-formed");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzHost();
    static secureVesk* layer = new secureVesk();
    writeInputFile("package.xml", data, size);
    std::string componentId;
    layer->get_comp_id(componentId);
    layer->byPassRecoveryState();
    checkWellFormed(layer->getPyxXml(componentId, ""));
    checkWellFormed(layer->getPyxXml("1", std::string(reinterpret_cast<const char*>(data), size)));
    return 0;
}
