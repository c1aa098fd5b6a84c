#include "kvoipmi/KvoIPMIXMLConfiguration.h"

#include <libxml/parser.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "baseutils/KvoLogger.h"

namespace {

// The current directory joined with name can be opened for reading.
bool IsFileInCurrentDirectory(const std::string& name) {
    std::vector<char> buffer(4096);
    if (!getcwd(buffer.data(), buffer.size())) {
        return false;
    }
    std::ifstream file(std::string(buffer.data()) + "/" + name);
    return file.is_open();
}

// The first element child of parent whose attribute "name" is exactly "Default".
xmlNodePtr FindDefaultChild(xmlNodePtr parent) {
    for (xmlNodePtr child = parent->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) {
            continue;
        }
        xmlChar* value = xmlGetProp(child, BAD_CAST "name");
        bool isDefault = value && std::strcmp(reinterpret_cast<char*>(value), "Default") == 0;
        xmlFree(value);
        if (isDefault) {
            return child;
        }
    }
    return nullptr;
}

}  // namespace

KvoIPMIXMLConfig::KvoIPMIXMLConfig(KvoString fileName)
    : mFileName(fileName), mLoaded(false), mDocument(nullptr), mDefaultNode(nullptr) {}

KvoIPMIXMLConfig::~KvoIPMIXMLConfig() {
    Release();
}

bool KvoIPMIXMLConfig::Release() {
    if (mDocument) {
        xmlFreeDoc(mDocument);
    }
    // The cached entry lives inside the document; forget both together.
    mDocument = nullptr;
    mDefaultNode = nullptr;
    mLoaded = false;
    return true;
}

void KvoIPMIXMLConfig::SetConfigurationFileName(KvoString name) {
    mFileName = name;
}

bool KvoIPMIXMLConfig::Initialize() {
    if (mLoaded) {
        return true;
    }
    std::string fileName = mFileName.GetUTF8String();
    if (!IsFileInCurrentDirectory(fileName)) {
        KVO_LOG(KvoLogError, "KvoIPMIXMLConfig::Initialize() - File Not Found");
        return mLoaded;
    }
    KVO_LOG(KvoLogInfo, "KvoIPMIXMLConfig::Initialize() File exist");
    mDocument = xmlParseFile(fileName.c_str());
    if (!mDocument) {
        KVO_LOG(KvoLogError, "Parse unsuccessful");
        return mLoaded;
    }
    mLoaded = true;
    return mLoaded;
}

xmlNodePtr KvoIPMIXMLConfig::GetDefaultConfigNode() {
    if (mDefaultNode) {
        return mDefaultNode;
    }
    xmlNodePtr root = mDocument ? xmlDocGetRootElement(mDocument) : nullptr;
    if (!root) {
        KVO_LOG(KvoLogError, "KvoRoot is NULL");
        return nullptr;
    }
    xmlNodePtr device = FindDefaultChild(root);
    if (!device) {
        KVO_LOG(KvoLogInfo, "No default device configuration node found");
        mDefaultNode = nullptr;
        return nullptr;
    }
    mDefaultNode = FindDefaultChild(device);
    return mDefaultNode;
}

bool KvoIPMIXMLConfig::GetConfigInt(const KvoString& name, int* value) {
    if (!mLoaded && !Initialize()) {
        KVO_LOG(KvoLogError, "IPMI configuration not initialized");
        return false;
    }
    xmlNodePtr entry = GetDefaultConfigNode();
    if (!entry) {
        KVO_LOG(KvoLogError, "No default IPMI config found");
        return false;
    }
    std::string key = name.GetUTF8String();
    for (xmlNodePtr child = entry->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE ||
            std::strcmp(reinterpret_cast<const char*>(child->name), key.c_str()) != 0) {
            continue;
        }
        xmlChar* content = xmlNodeGetContent(child);
        long number = content ? std::strtol(reinterpret_cast<char*>(content), nullptr, 10) : 0;
        xmlFree(content);
        if (value) {
            *value = static_cast<int>(number);
        }
        return true;
    }
    return false;
}
