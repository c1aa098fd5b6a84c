#pragma once

#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <sstream>
#include <string>
#include <vector>

class cDebugger;
class secureVesk;

// One row of the error table ErrorCodes.xml.
struct SErrorCode {
    std::string CodeNo;
    std::string Discription;
};

// Records of the update path.
struct SPkgDevInfo {
    std::string componentID;
    std::string display;
    std::string componentType;
    std::string version;
};

struct SDeviceInfo {
    std::string componentID;
    std::string display;
    std::string componentType;
    std::string version;
    std::string vendorID;
    std::string deviceID;
    std::string subVendorID;
    std::string subDeviceID;
};

extern const std::string ERROR_FILE_NAME;
extern const std::string ERRORCODES;
extern const std::string ERRORCODE;
extern const std::string CODENO;
extern const std::string DESC;
extern const std::string MISSING_ERR_FILE;
extern const std::string NULL_ERR_FILE;
extern const std::string ROOT_ERR_FAIL;
extern const std::string NO_ERRCODE;
extern const std::string FSLASH_BREAK;
extern const std::string BSLASH_BREAK;

// Owns the storage layer object of one inventory run and does its work.
class cXMLParserWriter {
public:
    cXMLParserWriter();
    ~cXMLParserWriter();
    cXMLParserWriter(const cXMLParserWriter&) = delete;
    cXMLParserWriter& operator=(const cXMLParserWriter&) = delete;

    // Runs the record query of the current records into out; veskType tells
    // the kind of storage found (0 none).
    bool GetPyxInvXML(std::stringstream& out, int& veskType, char** arguments,
                      std::string& errorText, bool skipDependencyCheck);

    // Writes the package's record for componentId into the controller's
    // record store; on failure errorText gets the error table's text.
    bool UpdatePyxPartition(std::string componentId, char** arguments, std::string& errorText);
    bool UpdatePyxRecord(char** arguments, std::string& errorText);

    // The error table's text for a storage error number.
    std::string GetErrorMsg(char** arguments, unsigned char code);
    void GetApplicationPath(char** arguments);

    // The complete inventory document around entries.
    std::string GetInventoryXmlToString(const std::stringstream& entries, int mode,
                                        const std::string& errorText, int veskType);

    xmlXPathObjectPtr getnodeset(xmlDocPtr doc, const xmlChar* expression);
    const xmlChar* GetAttribute(xmlNodePtr node, const xmlChar* name);

    // The error number the storage layer left (17 when there is none).
    unsigned char storageError() const;
    const std::string& applicationDirectory() const { return m_applicationDirectory; }
    // The storage layer object; null when it could not be built.
    secureVesk* storageLayer() const { return m_vesk; }

private:
    void reportError(char** arguments, std::string& errorText);
    bool failWithStorageError(char** arguments, std::string& errorText, const char* line);

    cDebugger* m_debug;
    std::vector<SDeviceInfo> m_devices;
    std::vector<SPkgDevInfo*> m_packageDevices;
    SPkgDevInfo m_packageDevice;
    SPkgDevInfo m_installedDevice;
    std::string m_applicationDirectory;
    secureVesk* m_vesk = nullptr;
    unsigned char m_lastStorageError = 0;
};
