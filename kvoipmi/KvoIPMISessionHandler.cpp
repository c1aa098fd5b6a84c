#include "kvoipmi/KvoIPMISessionHandler.h"

#include <pthread.h>

#include "baseutils/KvoLogger.h"
#include "kvoipmi/KvoIPMISession.h"

std::atomic<KvoIPMISessionHandler*> KvoIPMISessionHandler::mIPMISessionHandlerInstance{nullptr};

KvoIPMISessionHandler::KvoIPMISessionHandler() : mDefaultConfiguration{60, 5, 5, 50, 0, 0} {}

KvoIPMISessionHandler::~KvoIPMISessionHandler() {
    Cleanup();
}

KvoLock& KvoIPMISessionHandler::GetLockObject() {
    // Never destroyed: sessions may be released while the process ends.
    static KvoLock* sessionHandlerLock = new KvoLock();
    return *sessionHandlerLock;
}

KvoIPMISessionHandler* KvoIPMISessionHandler::GetInstance() {
    KvoIPMISessionHandler* instance = mIPMISessionHandlerInstance.load();
    if (instance) {
        return instance;
    }
    KvoLock::Guard guard(GetLockObject());
    instance = mIPMISessionHandlerInstance.load();
    if (!instance) {
        instance = new KvoIPMISessionHandler();
        mIPMISessionHandlerInstance.store(instance);
    }
    return instance;
}

void KvoIPMISessionHandler::DestroyInstance() {
    KvoLock::Guard guard(GetLockObject());
    delete mIPMISessionHandlerInstance.exchange(nullptr);
}

void KvoIPMISessionHandler::SetApplicationDefaultConfiguration(
    const _KvoIPMIConfiguration* settings) {
    if (settings) {
        KvoLock::Guard guard(GetLockObject());
        mDefaultConfiguration = *settings;
    }
}

_KvoIPMIConfiguration* KvoIPMISessionHandler::GetApplicationDefaultConfiguration() {
    return &mDefaultConfiguration;
}

std::uint64_t KvoIPMISessionHandler::GetSessionID() const {
    return static_cast<std::uint64_t>(pthread_self());
}

KvoIPMISession* KvoIPMISessionHandler::GetSession() {
    std::uint64_t id = GetSessionID();
    KvoLock::Guard guard(GetLockObject());
    auto found = mSessions.find(id);
    if (found != mSessions.end()) {
        return found->second.get();
    }
    KVO_LOG(KvoLogInfo, "Creating session object for session ID = %lu",
            static_cast<unsigned long>(id));
    auto session = std::make_unique<KvoIPMISession>();
    KvoIPMISession* result = session.get();
    mSessions[id] = std::move(session);
    return result;
}

bool KvoIPMISessionHandler::ReleaseSession() {
    std::uint64_t id = GetSessionID();
    std::unique_ptr<KvoIPMISession> session;
    {
        KvoLock::Guard guard(GetLockObject());
        auto found = mSessions.find(id);
        if (found == mSessions.end()) {
            return true;
        }
        session = std::move(found->second);
        mSessions.erase(found);
    }
    session->Release();
    return true;
}

bool KvoIPMISessionHandler::Cleanup() {
    // Destroying a session closes its device too.
    mSessions.clear();
    return true;
}

std::size_t KvoIPMISessionHandler::SessionCount() {
    KvoLock::Guard guard(GetLockObject());
    return mSessions.size();
}
