#pragma once

#include "baseutils/KvoString.h"

// Source of the library's retry and poll settings.
class IKvoIPMIConfiguration {
public:
    virtual bool Initialize() = 0;
    virtual bool GetConfigInt(const KvoString& name, int* value) = 0;
    virtual void SetConfigurationFileName(KvoString name) = 0;

protected:
    ~IKvoIPMIConfiguration() = default;
};
