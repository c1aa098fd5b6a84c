#include "inventory/IPMIInventory.h"

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "baseutils/Logger.h"
#include "baseutils/XmlHandles.h"
#include "inventory/InvHelper.h"

std::string IPMIInventory::strOutputXMLString;

namespace {

void logLine(unsigned line, const std::string& message) {
    CLogger::GetInstance()->log(__FILE__, line, message);
}

std::string currentDirectory() {
    std::unique_ptr<char, decltype(&std::free)> path(getcwd(nullptr, 0), &std::free);
    return path ? std::string(path.get()) : std::string();
}

}  // namespace

void IPMIInventory::GetInvXMLString() {
    logLine(__LINE__, "IPMIInventory::GetInvXMLString start");
    // The driver brings up the storage layer as it is built: before the
    // program path is logged, and torn down only after " No Vesk".
    auto helper = std::make_unique<CInvHelper>();
    int veskType = 0;
    std::string errorText;
    std::string program = currentDirectory() + "/" + "ipmiinventory.exe";
    std::vector<char> buffer(program.begin(), program.end());
    buffer.push_back('\0');
    char* arguments[] = {buffer.data(), nullptr};
    logLine(__LINE__, "File path: " + program);

    bool success = helper->DoInventory(arguments, veskType, errorText);
    logLine(__LINE__, success ? "DoInventory success" : "DoInventory failed");
    strOutputXMLString = helper->GetPyxInv();
    if (veskType == 0) {
        logLine(__LINE__, " No Vesk");
    }
    helper.reset();
    logLine(__LINE__, "IPMIInventory::GetInvXMLString end");
}

xmlXPathObjectPtr IPMIInventory::getnodeset(xmlDocPtr doc, const xmlChar* expression) {
    return selectNodes(doc, expression, [&](const char* line) { logLine(__LINE__, line); });
}

const xmlChar* IPMIInventory::GetAttribute(xmlNodePtr node, const xmlChar* name) {
    return attributeValue(node, name);
}
