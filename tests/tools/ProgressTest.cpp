#include "tools/Progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <sstream>

#include "storage/StorageRoadLock.h"
#include "storage/VeskErrors.h"
#include "vserver/VirtualServer.h"

// A run that waits for another run's storage lock says so at once and then
// every 30 seconds, not silently for five minutes.
TEST(ProgressPort, AWaitForTheStorageLockIsToldAtOnceAndEveryThirtySeconds) {
    VirtualServer host;
    ASSERT_EQ(0, host.mkdir(storageLockDirectory, 0700));
    int other = host.open(storageLockPath, O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(0, host.flock(other, LOCK_EX | LOCK_NB));
    std::ostringstream out;
    ProgressPort progress(host, out);
    ScopedHostPort installed(progress);
    {
        StorageRoadLock lock;
        EXPECT_EQ(QUIB_STORAGE_BUSY, lock.acquire(65));
    }
    const std::string waiting =
        " waiting for another inventory or update run to finish with the controller's storage "
        "(lock /run/ipmiinventory/storage.lock), ";
    EXPECT_EQ("[0 s]" + waiting + "0 s so far\n[30 s]" + waiting + "30 s so far\n[60 s]" + waiting +
                  "60 s so far\n",
              out.str());

    host.close(other);
    out.str("");
    StorageRoadLock lock;
    EXPECT_EQ(0, lock.acquire());
    EXPECT_EQ("", out.str());
}
