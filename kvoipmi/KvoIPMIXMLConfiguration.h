#pragma once

#include <libxml/tree.h>

#include "baseutils/KvoString.h"
#include "kvoipmi/IKvoIPMIConfiguration.h"

// Reads the optional configuration file (in the current directory) once and
// answers for the settings of its default device entry.
class KvoIPMIXMLConfig : public IKvoIPMIConfiguration {
public:
    explicit KvoIPMIXMLConfig(KvoString fileName);
    bool Initialize() override;
    bool GetConfigInt(const KvoString& name, int* value) override;
    void SetConfigurationFileName(KvoString name) override;
    virtual ~KvoIPMIXMLConfig();
    // Frees the parsed document; the next Initialize reads the file again.
    virtual bool Release();

    // The configuration entry of the default device, or null.
    xmlNodePtr GetDefaultConfigNode();

    KvoIPMIXMLConfig(const KvoIPMIXMLConfig&) = delete;
    KvoIPMIXMLConfig& operator=(const KvoIPMIXMLConfig&) = delete;

private:
    KvoString mFileName;
    bool mLoaded;
    xmlDocPtr mDocument;
    xmlNodePtr mDefaultNode;
};
