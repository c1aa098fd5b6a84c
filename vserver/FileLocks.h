#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

// Advisory file locks (flock) of the virtual kernel, one exclusive holder
// per file. Virtual time does not pass for a thread while another one
// works, so a thread that meets a lock held by another thread waits until
// it is let go and then takes it, as though its retries had found it free;
// a lock the calling thread holds through another descriptor stays refused
// (EWOULDBLOCK), since nothing would ever let it go.
class FileLocks {
public:
    int acquire(const std::string& path, int fd);
    void release(const std::string& path, int fd);
    // Every lock held through fd (its close).
    void releaseAll(int fd);
    bool held(const std::string& path) const;

private:
    struct Holder {
        int fd;
        std::thread::id thread;
    };

    mutable std::mutex mutex_;
    std::condition_variable released_;
    std::map<std::string, Holder> holders_;
};
