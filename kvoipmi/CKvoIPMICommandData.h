#pragma once

#include "kvoipmi/KvoIPMICommandData.h"

// Named access to a caller's command record for the length of one request.
// The settings accessors go through the record's configuration pointer.
class CKvoIPMICommandData {
public:
    // Clears the response buffer and the attached settings' polling fields.
    explicit CKvoIPMICommandData(_KvoIPMICommandData* data);
    virtual ~CKvoIPMICommandData();
    CKvoIPMICommandData(const CKvoIPMICommandData&) = delete;
    CKvoIPMICommandData& operator=(const CKvoIPMICommandData&) = delete;

    unsigned int GetPollInterval() const;
    void SetPollInterval(unsigned int value);
    unsigned int GetPollCount() const;
    void SetPollCount(unsigned int value);
    unsigned int GetRetryCount() const;
    void SetRetryCount(unsigned int value);
    unsigned int GetRetryInterval() const;
    void SetRetryInterval(unsigned int value);
    unsigned int GetPollingByte() const;
    unsigned char GetPollingStatus() const;
    void SetPollingByteStatus(unsigned int byte, unsigned char status);
    bool IsPollingRequired() const;

    _KvoIPMIConfiguration* GetConfigurationData() const;
    void SetConfigurationData(_KvoIPMIConfiguration* configuration);

    unsigned char* GetRequestBufferData() const;
    unsigned int GetRequestBufferLength() const;
    void SetRequestBufferData(unsigned char* data, unsigned int length);
    unsigned char* GetResponseBufferData(unsigned int offset) const;
    unsigned int GetResponseBufferLength() const;
    void SetResponseBufferLength(unsigned int length);
    void SetResponseBufferData(unsigned char* data, unsigned int length);

private:
    _KvoIPMICommandData* mData;
};
