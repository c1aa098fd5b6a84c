#include <cstdlib>

#include "baseutils/XmlHandles.h"
#include "storage/SecureVesk.h"

namespace {

const char* const kPackageFile = "package.xml";
const char* const kRecoveryBypassComponent = "28897";
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

long long componentValue(const std::string& id) {
    return std::strtoll(id.c_str(), nullptr, 10);
}

// Every componentID of a Device under a SupportedDevices element of root.
std::vector<std::string> supportedComponentIds(xmlNodePtr root) {
    std::vector<std::string> ids;
    for (xmlNodePtr list = root->children; list; list = list->next) {
        if (!isXmlElement(list, "SupportedDevices")) {
            continue;
        }
        for (xmlNodePtr device = list->children; device; device = device->next) {
            if (!isXmlElement(device, "Device") ||
                !xmlHasProp(device, reinterpret_cast<const xmlChar*>("componentID"))) {
                continue;
            }
            ids.push_back(xmlAttributeText(device, "componentID"));
            logVeskMsg(__FILE__, __LINE__, "Found comp id:" + ids.back());
        }
    }
    return ids;
}

}  // namespace

int secureVesk::get_comp_id(std::string& componentId) {
    return guard<int>(0, __FILE__, __LINE__, [&] {
        logVeskMsg(__FILE__, __LINE__, "Getting component id from package.xml");
        XmlDocument document(xmlReadFile(kPackageFile, nullptr, kParseOptions));
        if (!document) {
            logVeskMsg(__FILE__, __LINE__, "Could not open package.xml");
            return 0;
        }
        xmlNodePtr root = xmlDocGetRootElement(document.get());
        if (root == nullptr) {
            logVeskMsg(__FILE__, __LINE__, "Could not get root node");
            return 0;
        }
        if (!isXmlElement(root, "SoftwareComponent")) {
            logVeskMsg(__FILE__, __LINE__, "Root node is not SoftwareComponent");
            raiseQuibError(QUIB_NO_COMPONENT_ID);
        }
        std::vector<std::string> ids = supportedComponentIds(root);
        if (ids.empty()) {
            logVeskMsg(__FILE__, __LINE__,
                       "Did not find SupportedDevices or Device or componentID");
            raiseQuibError(QUIB_NO_COMPONENT_ID);
        }
        logVeskMsg(__FILE__, __LINE__, "List of ComponentIds:");
        for (const std::string& id : ids) {
            logVeskMsg(__FILE__, __LINE__, id);
        }
        std::string lowest = ids.front();
        for (const std::string& id : ids) {
            if (componentValue(id) < componentValue(lowest)) {
                lowest = id;
                logVeskMsg(__FILE__, __LINE__, "Lower component id: " + lowest);
            }
        }
        logVeskMsg(__FILE__, __LINE__, "Component id chosen: " + lowest);
        componentId = lowest;
        return 1;
    });
}

int secureVesk::byPassRecoveryState() {
    std::string id;
    if (!get_comp_id(id)) {
        logVeskMsg(__FILE__, __LINE__, "byPassRecoveryState: Could not get Component ID");
        return 0;
    }
    logVeskMsg(__FILE__, __LINE__, "byPassRecoveryState: Component ID is " + id);
    if (id == kRecoveryBypassComponent) {
        logVeskMsg(__FILE__, __LINE__,
                   "byPassRecoveryState: Component ID Matched for recovery state bypass.");
        return 1;
    }
    logVeskMsg(__FILE__, __LINE__,
               "byPassRecoveryState: Component ID Didn't match for recovery state bypass.");
    return 0;
}
