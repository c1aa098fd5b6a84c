#include "kvoipmi/CKvoIPMICommandData.h"

#include <cstring>

#include "baseutils/KvoLogger.h"

namespace {

constexpr unsigned int kNoPolling = 0xFFFFFFFF;

}  // namespace

CKvoIPMICommandData::CKvoIPMICommandData(_KvoIPMICommandData* data) : mData(data) {
    if (!mData) {
        return;
    }
    std::memset(mData->responseBuffer, 0, sizeof(mData->responseBuffer));
    if (mData->configuration) {
        mData->configuration->pollingByte = 0;
        mData->configuration->pollingStatus = 0;
    }
}

CKvoIPMICommandData::~CKvoIPMICommandData() {
    KVO_LOG(KvoLogInfo, "Command record released");
}

// The settings accessors tolerate a record without settings: reads give 0
// and writes are dropped, rather than following a null pointer.
unsigned int CKvoIPMICommandData::GetPollInterval() const {
    const _KvoIPMIConfiguration* settings = GetConfigurationData();
    return settings ? settings->pollInterval : 0;
}

void CKvoIPMICommandData::SetPollInterval(unsigned int value) {
    if (_KvoIPMIConfiguration* settings = GetConfigurationData()) {
        settings->pollInterval = value;
    }
}

unsigned int CKvoIPMICommandData::GetPollCount() const {
    const _KvoIPMIConfiguration* settings = GetConfigurationData();
    return settings ? settings->pollCount : 0;
}

void CKvoIPMICommandData::SetPollCount(unsigned int value) {
    if (_KvoIPMIConfiguration* settings = GetConfigurationData()) {
        settings->pollCount = value;
    }
}

unsigned int CKvoIPMICommandData::GetRetryCount() const {
    const _KvoIPMIConfiguration* settings = GetConfigurationData();
    return settings ? settings->retryCount : 0;
}

void CKvoIPMICommandData::SetRetryCount(unsigned int value) {
    if (_KvoIPMIConfiguration* settings = GetConfigurationData()) {
        settings->retryCount = value;
    }
}

unsigned int CKvoIPMICommandData::GetRetryInterval() const {
    const _KvoIPMIConfiguration* settings = GetConfigurationData();
    return settings ? settings->retryInterval : 0;
}

void CKvoIPMICommandData::SetRetryInterval(unsigned int value) {
    if (_KvoIPMIConfiguration* settings = GetConfigurationData()) {
        settings->retryInterval = value;
    }
}

unsigned int CKvoIPMICommandData::GetPollingByte() const {
    const _KvoIPMIConfiguration* settings = GetConfigurationData();
    return settings ? settings->pollingByte : 0;
}

unsigned char CKvoIPMICommandData::GetPollingStatus() const {
    const _KvoIPMIConfiguration* settings = GetConfigurationData();
    return settings ? settings->pollingStatus : 0;
}

void CKvoIPMICommandData::SetPollingByteStatus(unsigned int byte, unsigned char status) {
    if (_KvoIPMIConfiguration* settings = GetConfigurationData()) {
        settings->pollingByte = byte;
        settings->pollingStatus = status;
    }
}

bool CKvoIPMICommandData::IsPollingRequired() const {
    if (GetPollingByte() != kNoPolling) {
        KVO_LOG(KvoLogInfo, " CKvoIPMICommandData::IsPollingRequired(), Polling is required ");
        return true;
    }
    KVO_LOG(KvoLogInfo, " CKvoIPMICommandData::IsPollingRequired(), Polling is not required ");
    return false;
}

_KvoIPMIConfiguration* CKvoIPMICommandData::GetConfigurationData() const {
    return mData ? mData->configuration : nullptr;
}

void CKvoIPMICommandData::SetConfigurationData(_KvoIPMIConfiguration* configuration) {
    if (mData) {
        mData->configuration = configuration;
    }
}

unsigned char* CKvoIPMICommandData::GetRequestBufferData() const {
    return mData ? mData->requestBuffer : nullptr;
}

unsigned int CKvoIPMICommandData::GetRequestBufferLength() const {
    return mData ? mData->requestLength : 0;
}

void CKvoIPMICommandData::SetRequestBufferData(unsigned char* data, unsigned int length) {
    if (!mData) {
        return;
    }
    if (length > KVO_IPMI_MAX_BUFFER_LENGTH) {
        KVO_LOG(KvoLogInfo,
                "CKvoIPMICommandData::SetRequestBufferData(), Requested Buffer length is greater "
                "than Maximum Request length");
        return;
    }
    mData->requestLength = length;
    if (data) {
        std::memcpy(mData->requestBuffer, data, length);
    }
}

unsigned char* CKvoIPMICommandData::GetResponseBufferData(unsigned int offset) const {
    return mData ? mData->responseBuffer + offset : nullptr;
}

unsigned int CKvoIPMICommandData::GetResponseBufferLength() const {
    return mData ? mData->responseLength : 0;
}

void CKvoIPMICommandData::SetResponseBufferLength(unsigned int length) {
    if (mData) {
        mData->responseLength = length;
    }
}

void CKvoIPMICommandData::SetResponseBufferData(unsigned char* data, unsigned int length) {
    if (!mData) {
        return;
    }
    if (length > KVO_IPMI_MAX_BUFFER_LENGTH) {
        KVO_LOG(KvoLogInfo,
                "CKvoIPMICommandData::SetResponseBufferData(), Response length is greater than "
                "Maximum Buffer length");
        return;
    }
    mData->responseLength = length;
    if (data) {
        std::memcpy(mData->responseBuffer, data, length);
    }
}
