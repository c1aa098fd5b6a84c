#include "baseutils/LKvoLock.h"

KvoLock::KvoLock() {
    pthread_mutex_init(&mMutex, nullptr);
}

KvoLock::~KvoLock() {
    pthread_mutex_destroy(&mMutex);
}

bool KvoLock::Lock() {
    pthread_mutex_lock(&mMutex);
    return true;
}

bool KvoLock::Unlock() {
    pthread_mutex_unlock(&mMutex);
    return true;
}
