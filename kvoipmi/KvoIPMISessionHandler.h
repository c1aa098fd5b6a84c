#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>

#include "baseutils/LKvoLock.h"
#include "kvoipmi/KvoIPMICommandData.h"

class KvoIPMISession;

// Process-wide registry: one session per calling thread, created on demand,
// and the application's default settings.
class KvoIPMISessionHandler {
public:
    static KvoIPMISessionHandler* GetInstance();
    static void DestroyInstance();
    static KvoLock& GetLockObject();

    void SetApplicationDefaultConfiguration(const _KvoIPMIConfiguration* settings);
    _KvoIPMIConfiguration* GetApplicationDefaultConfiguration();

    std::uint64_t GetSessionID() const;
    KvoIPMISession* GetSession();
    bool ReleaseSession();
    bool Cleanup();

    std::size_t SessionCount();

    KvoIPMISessionHandler(const KvoIPMISessionHandler&) = delete;
    KvoIPMISessionHandler& operator=(const KvoIPMISessionHandler&) = delete;

private:
    KvoIPMISessionHandler();
    ~KvoIPMISessionHandler();

    static std::atomic<KvoIPMISessionHandler*> mIPMISessionHandlerInstance;

    std::map<std::uint64_t, std::unique_ptr<KvoIPMISession>> mSessions;
    _KvoIPMIConfiguration mDefaultConfiguration;
};
