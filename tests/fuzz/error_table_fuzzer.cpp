// The error table reader (GetErrorMsg): the input's first byte is the
// error number asked for, the rest is ErrorCodes.xml.
#include <memory>
#include <string>

#include "inventory/XMLParserWriter.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzHost();
    // One writer for the whole run: it brings up (and here fails to bring
    // up) a storage layer, which costs more than the table.
    static cXMLParserWriter* writer = new cXMLParserWriter();
    if (size == 0) {
        return 0;
    }
    writeInputFile("ErrorCodes.xml", data + 1, size - 1);
    std::string program = "./ipmiinventory.exe";
    char* arguments[] = {program.data(), nullptr};
    writer->GetErrorMsg(arguments, data[0]);
    return 0;
}
