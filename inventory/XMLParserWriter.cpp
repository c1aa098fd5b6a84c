#include "inventory/XMLParserWriter.h"

#include <cstdlib>
#include <exception>
#include <memory>

#include "baseutils/Debugger.h"
#include "baseutils/XmlHandles.h"
#include "inventory/InventoryDocument.h"
#include "storage/SecureVesk.h"

const std::string ERROR_FILE_NAME = "ErrorCodes.xml";
const std::string ERRORCODES = "ErrorCodes";
const std::string ERRORCODE = "ErrorCode";
const std::string CODENO = "CodeNo";
const std::string DESC = "Discription";
const std::string MISSING_ERR_FILE = "ErrorCodes File is missing";
const std::string NULL_ERR_FILE = "ErrorCodes File is empty";
const std::string ROOT_ERR_FAIL = "ErrorCodes File Root node failure";
const std::string NO_ERRCODE = "\nInternal Error: ErrorCode not Found in ErrorCodes File";
const std::string FSLASH_BREAK = "/";
const std::string BSLASH_BREAK = "\\";

namespace {

constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Presence values of the storage layer and the kinds they stand for.
constexpr int kFull = 1;
constexpr int kLite = 2;
constexpr int kLiter = 3;
constexpr int kNotQueried = 4;

// Base 10 with leading blanks and a sign; no digits reads as 0.
long codeNumber(const std::string& text) {
    return std::strtol(text.c_str(), nullptr, 10);
}

}  // namespace

cXMLParserWriter::cXMLParserWriter() : m_debug(cDebugger::getInstance()) {
    try {
        m_vesk = new secureVesk();
    } catch (const std::exception& error) {
        m_debug->Debug("Exception description:\n");
        m_debug->Debug(error.what());
    }
}

cXMLParserWriter::~cXMLParserWriter() {
    m_devices.clear();
    m_packageDevices.clear();
    delete m_vesk;
}

unsigned char cXMLParserWriter::storageError() const {
    return secureVesk::getQuibError(m_vesk);
}

void cXMLParserWriter::reportError(char** arguments, std::string& errorText) {
    errorText = GetErrorMsg(arguments, m_lastStorageError);
    m_debug->Debug("Inventory :: GetErrorMsg \n");
    m_debug->Debug(errorText);
    m_debug->Debug("\n");
}

bool cXMLParserWriter::failWithStorageError(char** arguments, std::string& errorText,
                                            const char* line) {
    m_lastStorageError = storageError();
    m_debug->DebugTime();
    m_debug->Debug(line);
    reportError(arguments, errorText);
    return false;
}

bool cXMLParserWriter::GetPyxInvXML(std::stringstream& out, int& veskType, char** arguments,
                                    std::string& errorText, bool skipDependencyCheck) {
    if (m_vesk == nullptr) {
        // The storage layer could not even be built: a failed run.
        m_debug->Debug("Inventory :: No storage layer object\n");
        m_lastStorageError = storageError();
        reportError(arguments, errorText);
        return false;
    }
    if (!m_vesk->layerReady) {
        veskType = m_vesk->IsVeskPresent();
        // Only a controller that answered "no storage" makes this a server
        // without storage; a layer that never reached the controller (no
        // usable IPMI, no storage lock) failed.
        if (veskType == 0) {
            m_debug->Debug("Inventory :: No VESK Present\n");
        }
        return failWithStorageError(arguments, errorText,
                                    "Inventory :: VESK Zurl Install Failed\n");
    }
    m_debug->DebugTime();
    m_debug->Debug("Inventory :: Vesk Zurl Install success\n");
    int presence = m_vesk->IsVeskPresent();
    if (presence == kNotQueried) {
        // The controller did not answer the type query.
        veskType = presence;
        return failWithStorageError(arguments, errorText,
                                    "Inventory :: VESK type query unanswered\n");
    }
    if (presence != kFull && presence != kLite && presence != kLiter) {
        m_debug->DebugTime();
        m_debug->Debug("Inventory :: No VESK Present\n");
        veskType = 0;
        return true;
    }
    m_debug->DebugTime();
    m_debug->Debug("Inventory :: VESK Present\n");
    m_debug->DebugTime();
    if (presence == kLite) {
        m_debug->Debug("Inventory :: Type of VESK Present : VESK Lite\n");
    } else if (presence == kLiter) {
        m_debug->Debug("Inventory :: Type of VESK Present : VESK Liter\n");
    } else {
        m_debug->Debug("Inventory :: Type of VESK Present : VESK Full\n");
    }
    veskType = presence;
    m_vesk->secureVeskInit();
    if (!m_vesk->layerReady) {
        return failWithStorageError(arguments, errorText, "Inventory :: VESK Session Failed\n");
    }
    m_debug->DebugTime();
    m_debug->Debug("Inventory :: VESK Session Success\n");
    m_debug->DebugTime();
    m_debug->Debug("Inventory :: Get Inventory XML from Pyx\n");
    if (!skipDependencyCheck) {
        std::stringstream dependencies;
        if (!m_vesk->doDepCheck(dependencies, EXML_PYX_QUERY_DEPENDENCY)) {
            if (!dependencies.str().empty()) {
                errorText += "One or More Dependencies Failed";
                m_debug->Debug("Dependency :: One or more dependencies failed\n");
                return false;
            }
            m_debug->DebugTime();
            m_debug->Debug("Dependency :: Dependency Check function failed\n");
            errorText += "Dependency: doDepCheck function failed";
            return false;
        }
    }
    if (!m_vesk->QueryPyx(out, EXML_PYX_QUERY_CURRENT_RECORDS)) {
        return failWithStorageError(arguments, errorText, "Inventory :: QueryPyx failure \n");
    }
    m_debug->DebugTime();
    m_debug->Debug("Inventory :: QueryPyx success \n");
    return true;
}

bool cXMLParserWriter::UpdatePyxPartition(std::string componentId, char** arguments,
                                          std::string& errorText) {
    m_debug->Debug("Update Pyx Partition\n");
    if (m_vesk != nullptr && m_vesk->UpdatePyx(componentId, EXML_PYX_UPDATE_RECORDS, "")) {
        m_debug->Debug("UpdatePyxPartition :: UpdatePyx success\n");
        return true;
    }
    m_debug->Debug("UpdatePyxPartition :: UpdatePyx failure\n");
    m_lastStorageError = storageError();
    errorText = GetErrorMsg(arguments, m_lastStorageError);
    m_debug->Debug("UpdatePyxPartition :: GetErrorMsg \n");
    m_debug->Debug(errorText);
    m_debug->Debug("\n");
    return false;
}

// The record of the package's own component.
bool cXMLParserWriter::UpdatePyxRecord(char** arguments, std::string& errorText) {
    std::string componentId;
    // A package that names no component would give a record without an id.
    if (m_vesk != nullptr && (!m_vesk->get_comp_id(componentId) || componentId.empty())) {
        if (m_vesk->lastError == QUIB_NO_ERROR) {
            m_vesk->storeErrorInfo(QUIB_NO_COMPONENT_ID);
        }
        m_debug->Debug("UpdatePyxRecord :: no component id in package.xml\n");
        return failWithStorageError(arguments, errorText,
                                    "UpdatePyxRecord :: Update Pyx failure\n");
    }
    bool updated = UpdatePyxPartition(componentId, arguments, errorText);
    m_debug->Debug(updated ? "UpdatePyxRecord :: Update Pyx success\n"
                           : "UpdatePyxRecord :: Update Pyx failure\n");
    return updated;
}

void cXMLParserWriter::GetApplicationPath(char** arguments) {
    m_debug->DebugTime();
    m_debug->Debug("Device Image :: Get Application Path\n");
    std::string program = arguments && arguments[0] ? arguments[0] : "";
    std::size_t slash = program.rfind(FSLASH_BREAK);
    std::size_t backslash = program.rfind(BSLASH_BREAK);
    std::size_t last = slash == std::string::npos       ? backslash
                       : backslash == std::string::npos ? slash
                                                        : std::max(slash, backslash);
    m_applicationDirectory = last == std::string::npos ? "" : program.substr(0, last + 1);
}

std::string cXMLParserWriter::GetErrorMsg(char** arguments, unsigned char code) {
    GetApplicationPath(arguments);
    std::string path = m_applicationDirectory + ERROR_FILE_NAME;
    XmlDocument document(xmlReadFile(path.c_str(), nullptr, kParseOptions));
    if (!document) {
        m_debug->DebugTime();
        m_debug->Debug("GetErrorMsg :: Error Message File is missing\n");
        return MISSING_ERR_FILE;
    }
    xmlNodePtr root = xmlDocGetRootElement(document.get());
    if (root == nullptr) {
        m_debug->DebugTime();
        m_debug->Debug("GetErrorMsg :: Empty Error File Error\n");
        return NULL_ERR_FILE;
    }
    if (!isXmlElement(root, ERRORCODES.c_str())) {
        m_debug->DebugTime();
        m_debug->Debug("GetErrorMsg :: Root element not present in ErrorCodes File failure\n");
        return ROOT_ERR_FAIL;
    }
    for (xmlNodePtr child = root->children; child; child = child->next) {
        if (!isXmlElement(child, ERRORCODE.c_str())) {
            continue;
        }
        SErrorCode row{xmlAttributeText(child, CODENO.c_str()),
                       xmlAttributeText(child, DESC.c_str())};
        if (codeNumber(row.CodeNo) == code) {
            m_debug->DebugTime();
            m_debug->Debug("GetErrorMsg :: ErrorCode Found in ErrorCodes File \n");
            return row.Discription;
        }
    }
    m_debug->DebugTime();
    m_debug->Debug("GetErrorMsg :: ErrorCode not Found in ErrorCodes File \n");
    return NO_ERRCODE;
}

std::string cXMLParserWriter::GetInventoryXmlToString(const std::stringstream& entries, int mode,
                                                      const std::string& errorText, int veskType) {
    return ::GetInventoryXmlToString(entries, mode, errorText, veskType, storageError());
}

xmlXPathObjectPtr cXMLParserWriter::getnodeset(xmlDocPtr doc, const xmlChar* expression) {
    return selectNodes(doc, expression, [&](const char* line) { m_debug->Debug(line); });
}

const xmlChar* cXMLParserWriter::GetAttribute(xmlNodePtr node, const xmlChar* name) {
    return attributeValue(node, name);
}
