#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "kvoipmi/CKvoIPMICommandData.h"
#include "kvoipmi/KvoIPMIInterfaceImpl.h"
#include "tests/kvoipmi/IpmiTestBench.h"

using ::testing::HasSubstr;

namespace {

TEST(KvoIPMIInterfaceImpl, CallerFillsARecordAndReadsTheControllersAnswer) {
    IpmiBench bench;
    bench.bmc.answer(0x30, 0xAD, 0x00, {0x02, 0x00, 0x00});
    KvoIPMIInterfaceImpl facade;
    _KvoIPMIConfiguration settings = Settings(5, 50);
    ASSERT_EQ(0u, facade.Initialize(&settings));

    _KvoIPMICommandData record = MakeRecord(0x30, 0xAD, {0x00, 0x00});
    record.responseLength = 6;
    EXPECT_EQ(0u, facade.IPMIRequest(&record));
    EXPECT_EQ(0x31, record.responseBuffer[0]);
    EXPECT_EQ(0xAD, record.responseBuffer[1]);
    EXPECT_EQ(0x00, record.responseBuffer[2]);
    EXPECT_EQ(0x02, record.responseBuffer[3]);
    EXPECT_EQ(6u, record.responseLength);

    // A controller's refusal is not a failure of the exchange.
    bench.bmc.answer(0x30, 0xAE, 0xC1);
    _KvoIPMICommandData refused = MakeRecord(0x30, 0xAE);
    EXPECT_EQ(0u, facade.IPMIRequest(&refused));
    EXPECT_EQ(0xC1, refused.responseBuffer[2]);

    EXPECT_EQ(257u, facade.IPMIRequest(nullptr));
    EXPECT_EQ(1u, facade.Release());
    EXPECT_EQ(0u, bench.kernel.openFiles());
    EXPECT_TRUE(bench.server.shell().commandsContaining("modprobe").empty());
}

TEST(KvoIPMIInterfaceImpl, WithoutADeviceNodeInitializeReports257AfterFivePasses) {
    IpmiBench bench;
    bench.kernel.setIpmiDevicePresent("/dev/ipmi0", false);
    KvoIPMIInterfaceImpl facade;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(257u, facade.Initialize(static_cast<const _KvoIPMIConfiguration*>(nullptr)));
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::vector<std::uint64_t>(5, 1000), bench.server.clock().sleeps());
    EXPECT_EQ(3u, bench.server.shell().commands().size());  // the module checks only

    // The session never opened: a request sends nothing and fails.
    bench.server.clock().clearSleeps();
    _KvoIPMICommandData record = MakeRecord(0x06, 0x01);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(0x140u, facade.IPMIRequest(&record));
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(bench.kernel.sentMessages().empty());
    EXPECT_EQ(5u, bench.server.clock().sleeps().size());
    EXPECT_EQ(nullptr, record.configuration);
}

TEST(KvoIPMIInterfaceImpl, TheCallersSettingsPointerIsGivenBackAfterEveryRequest) {
    IpmiBench bench;
    bench.bmc.answer(0x30, 0x01, 0xC0);
    KvoIPMIInterfaceImpl facade;
    _KvoIPMIConfiguration defaults = Settings(2, 30);
    ASSERT_EQ(0u, facade.Initialize(&defaults));

    // No settings of its own: the session's (from Initialize) apply.
    _KvoIPMICommandData record = MakeRecord(0x30, 0x01);
    EXPECT_EQ(0u, facade.IPMIRequest(&record));
    EXPECT_EQ(nullptr, record.configuration);
    EXPECT_EQ(2u, bench.bmc.requestCount(0x30, 0x01));
    EXPECT_EQ((std::vector<std::uint64_t>{30, 30}), bench.server.clock().sleeps());

    // Settings of its own win without a configuration file; polling fields
    // are cleared by every request.
    _KvoIPMIConfiguration own{60, 5, 3, 10, 0xFFFFFFFF, 7};
    record.configuration = &own;
    EXPECT_EQ(0u, facade.IPMIRequest(&record));
    EXPECT_EQ(&own, record.configuration);
    EXPECT_EQ(5u, bench.bmc.requestCount(0x30, 0x01));
    EXPECT_EQ(0u, own.pollingByte);
    EXPECT_EQ(0u, own.pollingStatus);

    facade.Release();
    record.configuration = nullptr;
    EXPECT_EQ(0u, facade.IPMIRequest(&record));  // a fresh session opens on demand
    EXPECT_EQ(nullptr, record.configuration);
}

TEST(KvoIPMIInterfaceImpl, ASecondInitializeKeepsTheOpenSessionAndItsSettings) {
    IpmiBench bench;
    bench.bmc.answer(0x30, 0x01, 0xC0);
    KvoIPMIInterfaceImpl facade;
    _KvoIPMIConfiguration first = Settings(2, 30);
    _KvoIPMIConfiguration second = Settings(4, 10);
    ASSERT_EQ(0u, facade.Initialize(&first));
    ASSERT_EQ(0u, facade.Initialize(&second));
    EXPECT_EQ(1u, bench.server.openedPaths().size());

    _KvoIPMICommandData record = MakeRecord(0x30, 0x01);
    EXPECT_EQ(0u, facade.IPMIRequest(&record));
    EXPECT_EQ(2u, bench.bmc.requestCount(0x30, 0x01));
    EXPECT_EQ((std::vector<std::uint64_t>{30, 30}), bench.server.clock().sleeps());
}

TEST(KvoIPMIInterfaceImpl, EachThreadHasItsOwnSessionAndDescriptor) {
    IpmiBench bench;
    writeTextFile("zebdebuglog", "");
    bench.bmc.answer(0x06, 0x01, 0x00, {0x20});
    KvoIPMIInterfaceImpl facade;
    ASSERT_EQ(0u, facade.Initialize(static_cast<const _KvoIPMIConfiguration*>(nullptr)));

    // The virtual server serves one caller at a time: the threads take turns
    // but stay alive together, so their identities differ.
    std::mutex mutex;
    std::condition_variable turn;
    int step = 0;
    auto worker = [&](int mine) {
        std::unique_lock<std::mutex> lock(mutex);
        turn.wait(lock, [&] { return step == mine; });
        _KvoIPMICommandData record = MakeRecord(0x06, 0x01);
        EXPECT_EQ(0u, facade.IPMIRequest(&record));
        EXPECT_EQ(0u, facade.IPMIRequest(&record));
        EXPECT_EQ(0x20, record.responseBuffer[3]);
        ++step;
        turn.notify_all();
        turn.wait(lock, [&] { return step == 3; });
        EXPECT_EQ(1u, facade.Release());
    };
    std::thread first(worker, 0);
    std::thread second(worker, 1);
    {
        std::unique_lock<std::mutex> lock(mutex);
        turn.wait(lock, [&] { return step == 2; });
        EXPECT_EQ(3u, KvoIPMISessionHandler::GetInstance()->SessionCount());
        EXPECT_EQ(3u, bench.kernel.openFiles());
        ++step;
        turn.notify_all();
    }
    first.join();
    second.join();

    // One message id counter for every session: each send takes the next id.
    std::set<int> files;
    std::vector<IpmiSentMessage> sent = bench.kernel.sentMessages();
    ASSERT_EQ(4u, sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        files.insert(sent[i].file);
        EXPECT_EQ(sent[0].msgid + static_cast<long>(i), sent[i].msgid);
    }
    EXPECT_EQ((std::set<int>{2, 3}), files);
    EXPECT_EQ(1u, KvoIPMISessionHandler::GetInstance()->SessionCount());
    EXPECT_EQ(1u, bench.kernel.openFiles());
    EXPECT_EQ(3u, Occurrences(bench.internalLog(), "Creating session object for session ID = "));
}

// Two threads, the marker file and a configuration file present: one starts
// the library's logging (the first step of Initialize) while the other sends
// its first request, which logs. The thread sanitizer build reports any
// access to the logger's files outside its lock, however the threads
// interleave; nothing else orders them, so the threads stay off the serial
// port (they ask the virtual server nothing that either of them changes).
TEST(KvoIPMIInterfaceImpl, LoggingStartsWhileAnotherThreadLogs) {
    IpmiBench bench;
    writeTextFile("zebdebuglog", "");
    writeTextFile("KvoIPMIConfig.xml",
                  ConfigFile("Default", "Default", "<RetryCount>2</RetryCount>"));
    bench.bmc.answer(0x30, 0x42, 0xC0);
    KvoIPMIInterfaceImpl facade;
    RunTogether([&] { facade.InitializeKvoLogger(); },
                [&] {
                    _KvoIPMICommandData record = MakeRecord(0x30, 0x42);
                    EXPECT_EQ(0u, facade.IPMIRequest(&record));
                    EXPECT_EQ(1u, facade.Release());
                });
    EXPECT_EQ(2u, bench.bmc.requestCount(0x30, 0x42));  // the file's retry count
    EXPECT_TRUE(fileExists("kvoipmi.log"));
    EXPECT_TRUE(fileExists("kvoipmi_internal.log"));
}

TEST(KvoIPMIInterfaceImpl, ReleaseOnAThreadWithoutSessionChangesNothing) {
    IpmiBench bench;
    KvoIPMIInterfaceImpl facade;
    ASSERT_EQ(0u, facade.Initialize(static_cast<const _KvoIPMIConfiguration*>(nullptr)));
    std::thread other([&] { EXPECT_EQ(1u, facade.Release()); });
    other.join();
    EXPECT_EQ(1u, KvoIPMISessionHandler::GetInstance()->SessionCount());
    EXPECT_EQ(1u, bench.kernel.openFiles());
}

TEST(KvoIPMIInterfaceImpl, NoLogFilesWithoutTheMarker) {
    IpmiBench bench;
    bench.bmc.answer(0x06, 0x01, 0x00);
    {
        KvoIPMIInterfaceImpl facade;
        ASSERT_EQ(0u, facade.Initialize(static_cast<const _KvoIPMIConfiguration*>(nullptr)));
        _KvoIPMICommandData record = MakeRecord(0x06, 0x01);
        EXPECT_EQ(0u, facade.IPMIRequest(&record));
    }
    EXPECT_FALSE(fileExists("kvoipmi.log"));
    EXPECT_FALSE(fileExists("kvoipmi_internal.log"));
    // The destructor took every session down with it.
    EXPECT_EQ(0u, bench.kernel.openFiles());
}

TEST(KvoIPMIInterfaceImpl, WithTheMarkerBothLogFilesAreWritten) {
    IpmiBench bench;
    writeTextFile("zebdebuglog", "");
    {
        KvoIPMIInterfaceImpl facade;
        ASSERT_EQ(0u, facade.Initialize(static_cast<const _KvoIPMIConfiguration*>(nullptr)));
    }
    EXPECT_TRUE(fileExists("kvoipmi.log"));
    EXPECT_THAT(bench.internalLog(), HasSubstr("Started Logging for KvoIPMI Library"));
    EXPECT_THAT(bench.internalLog(), HasSubstr("KvoIPMILibrary INFO "));
}

TEST(CKvoIPMICommandData, BufferSettersRefuseMoreThan255Bytes) {
    _KvoIPMICommandData record = MakeRecord(0x06, 0x01);
    CKvoIPMICommandData command(&record);
    unsigned char bytes[256] = {0x30, 0xA2};
    command.SetRequestBufferData(bytes, 255);
    EXPECT_EQ(255u, record.requestLength);
    command.SetRequestBufferData(bytes, 256);
    EXPECT_EQ(255u, record.requestLength);
    command.SetResponseBufferData(nullptr, 256);
    EXPECT_EQ(0u, record.responseLength);
    command.SetResponseBufferData(nullptr, 12);
    EXPECT_EQ(12u, record.responseLength);
    // Without settings attached, reads give 0 instead of following null.
    EXPECT_EQ(0u, command.GetRetryCount());
    EXPECT_TRUE(command.IsPollingRequired());
}

}  // namespace
