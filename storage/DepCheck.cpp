#include <sstream>

#include "storage/DoCopy.h"
#include "storage/DropBoxExchange.h"
#include "storage/IPMIRequest.h"
#include "storage/PyxConfigFile.h"
#include "storage/SecureVesk.h"

namespace {

constexpr std::uint64_t kDependencyQuerySize = 0x100000;
const char* const kPackageFile = "package.xml";
const char* const kDependenciesMet = "<status>0</status>";

// The answer after its XML declaration (all of it when there is none).
std::string withoutDeclaration(const std::string& answer) {
    std::size_t end = answer.find("?>");
    return end == std::string::npos ? answer : answer.substr(end + 2);
}

}  // namespace

bool secureVesk::doDepCheck(std::stringstream& out, exmlMode queryType) {
    if (isDepCheckSupported() == 0) {
        logVeskMsg(__FILE__, __LINE__,
                   "Dependency Checking is NOT supported by the Quenta FW.  Reporting success");
        return true;
    }
    logVeskMsg(__FILE__, __LINE__, "Dependency Checking is supported by the Quenta FW");
    bool accepted = exchangeAccepted("doDepCheck", [&] {
        if (queryType != EXML_PYX_QUERY_DEPENDENCY) {
            logVeskMsg(__FILE__, __LINE__, "doDepCheck called with incorrect queryType");
            raiseQuibError(QUIB_WRONG_QUERY_TYPE);
        }
        if (!IsSessionActive()) {
            logVeskMsg(__FILE__, __LINE__, "doDepCheck called with NO active session");
            raiseQuibError(QUIB_NO_SESSION);
        }
    });
    if (!accepted) {
        return false;
    }
    cfgEntry entry = recordEntry(EXML_PYX_QUERY_DEPENDENCY);

    DropBoxExchange exchange{
        "doDepCheck",
        kDependencyQuerySize,
        singleEntryCommandFile(entry),
        "update.xml Hash: ",
        "update.xml Content: ",
        "output.xml file does NOT exist",
        "Contents of output.xml",
        [](const std::string& directory) {
            logVeskMsg(__FILE__, __LINE__, "update.xml written");
            if (doCopy(directory, kPackageFile, kPackageFile, EXML_FILECOPY) != 0) {
                logVeskMsg(__FILE__, __LINE__, "doCopy failed");
                raiseQuibError(QUIB_INTERNAL_ERROR);
            }
            logVeskMsg(__FILE__, __LINE__, "package.xml written");
        },
        true};
    std::string answer;
    if (!runDropBoxExchange(exchange, answer)) {
        return false;
    }
    logVeskMsg(__FILE__, __LINE__, "doDepCheck succeeded");
    if (answer.find(kDependenciesMet) != std::string::npos) {
        logVeskMsg(__FILE__, __LINE__, "Dependency Check successful");
        return true;
    }
    logVeskMsg(__FILE__, __LINE__, "Dependency Check failed");
    std::string unmet = withoutDeclaration(answer);
    logVeskMsg(__FILE__, __LINE__, unmet);
    out << unmet;
    return false;
}
