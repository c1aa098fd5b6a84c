#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "kvoipmi/CKvoIPMICommandData.h"
#include "kvoipmi/KvoIPMIInterfaceImpl.h"
#include "kvoipmi/LKvoIPMIProcessor.h"
#include "tests/kvoipmi/IpmiTestBench.h"

using ::testing::HasSubstr;

namespace {

class IPMIProcessorTest : public ::testing::Test {
protected:
    // Runs one command through an opened processor with the given settings.
    unsigned int Execute(_KvoIPMICommandData& record, _KvoIPMIConfiguration settings) {
        config = settings;
        record.configuration = &config;
        CKvoIPMICommandData command(&record);
        return processor->ExecuteCommand(command);
    }

    void Open() {
        processor = std::make_unique<IPMIProcessor>();
        ASSERT_EQ(0u, processor->Initialize());
        bench.server.clock().clearSleeps();
    }

    IpmiBench bench;
    _KvoIPMIConfiguration config{};
    std::unique_ptr<IPMIProcessor> processor;
};

TEST_F(IPMIProcessorTest, OpensTheFirstPresentDevicePathWithoutSleeping) {
    struct Case {
        std::vector<std::string> present;
        std::string opened;
    };
    const Case cases[] = {{{"/dev/ipmi0", "/dev/ipmi/0"}, "/dev/ipmi0"},
                          {{"/dev/ipmi/0"}, "/dev/ipmi/0"},
                          {{"/dev/ipmidev/0"}, "/dev/ipmidev/0"}};
    for (const Case& c : cases) {
        IpmiBench bench;
        for (const auto& path : EmulatedKernel::ipmiDevicePaths()) {
            bench.kernel.setIpmiDevicePresent(path, false);
        }
        for (const auto& path : c.present) {
            bench.kernel.setIpmiDevicePresent(path, true);
        }
        IPMIProcessor processor;
        EXPECT_EQ(0u, processor.Initialize()) << c.opened;
        EXPECT_EQ(std::vector<std::string>{c.opened}, bench.server.openedPaths());
        EXPECT_TRUE(bench.server.clock().sleeps().empty());
        EXPECT_GT(processor.GetDescriptor(), 0);
        // Opened close-on-exec: the shell commands that follow must not inherit it.
        ASSERT_EQ(1u, bench.kernel.openFlags().size());
        EXPECT_EQ(O_RDWR | O_CLOEXEC, bench.kernel.openFlags()[0]);
        processor.Release();
        EXPECT_EQ(0, processor.GetDescriptor());
        EXPECT_EQ(0u, bench.kernel.openFiles());
    }
}

TEST_F(IPMIProcessorTest, WithoutADeviceFivePassesOfThreePathsAndOneSecondSleeps) {
    writeTextFile("zebdebuglog", "");
    KvoIPMIInterfaceImpl facade;
    facade.InitializeKvoLogger();
    bench.kernel.setIpmiDevicePresent("/dev/ipmi0", false);

    ::testing::internal::CaptureStderr();
    std::unique_ptr<IIPMICommandProcessor> created(IPMICommandProcessorCreator::Create());
    std::string stderrText = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(nullptr, created);
    EXPECT_EQ("Can't open IPMI device\n", stderrText);
    EXPECT_EQ(std::vector<std::uint64_t>(5, 1000), bench.server.clock().sleeps());
    std::string log = bench.internalLog();
    for (int left = 5; left >= 1; --left) {
        EXPECT_THAT(
            log,
            HasSubstr("Can't Open any IPMI Device, retries left : " + std::to_string(left) + "\n"));
    }
    EXPECT_THAT(log, HasSubstr("Errno: 2, No such file or directory, open failed for device: "
                               "/dev/ipmidev/0"));
    EXPECT_EQ(15u, Occurrences(log, "Open IPMI device : "));
}

TEST_F(IPMIProcessorTest, FullExchangeFieldByFieldAtTheKernel) {
    Open();
    bench.bmc.answer(0x30, 0xA2, 0x00, {0x11, 0x22, 0x33});
    _KvoIPMICommandData first = MakeRecord(0x30, 0xA2, {0x00, 0x01, 0x02, 0x03, 0x04, 0x05});
    _KvoIPMICommandData second = MakeRecord(0x30, 0xA2, {0x0A});

    ASSERT_EQ(0u, Execute(first, Settings(5, 50)));
    ASSERT_EQ(0u, Execute(second, Settings(5, 50)));

    std::vector<IpmiSentMessage> sent = bench.kernel.sentMessages();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(0x0C, sent[0].addrType);
    EXPECT_EQ(0x0F, sent[0].channel);
    EXPECT_EQ(0, sent[0].lun);
    EXPECT_EQ(8u, sent[0].addrLen);
    EXPECT_EQ(0x30, sent[0].netfn);
    EXPECT_EQ(0xA2, sent[0].cmd);
    EXPECT_EQ(6u, sent[0].dataLen);
    EXPECT_EQ((std::vector<std::uint8_t>{0x00, 0x01, 0x02, 0x03, 0x04, 0x05}), sent[0].data);
    EXPECT_EQ(1u, sent[1].dataLen);
    EXPECT_EQ(sent[0].msgid + 1, sent[1].msgid);

    for (const IpmiReceiveCall& call : bench.kernel.receiveCalls()) {
        EXPECT_EQ(8u, call.addrLen);
        EXPECT_EQ(253u, call.dataRoom);
    }
    EXPECT_EQ(0x31, first.responseBuffer[0]);
    EXPECT_EQ(0xA2, first.responseBuffer[1]);
    EXPECT_EQ(0x00, first.responseBuffer[2]);
    EXPECT_EQ(0x11, first.responseBuffer[3]);
    EXPECT_EQ(0x33, first.responseBuffer[5]);
    EXPECT_EQ(6u, first.responseLength);  // 4 kernel data bytes + 2
}

TEST_F(IPMIProcessorTest, StrayResponsesAreDroppedAndCountAsAttempts) {
    Open();
    bench.bmc.answer(0x06, 0x01, 0x00, {0x20});
    _KvoIPMICommandData record = MakeRecord(0x06, 0x01);

    bench.kernel.injectStrayResponses(1, 2);
    EXPECT_EQ(0u, Execute(record, Settings(3, 50)));
    EXPECT_EQ(3u, bench.kernel.receiveCalls().size());
    EXPECT_EQ(0x20, record.responseBuffer[3]);
    EXPECT_TRUE(bench.server.clock().sleeps().empty());

    // As many strays as attempts: the real answer is never reached.
    bench.kernel.injectStrayResponses(1, 3);
    EXPECT_EQ(0x140u, Execute(record, Settings(3, 50)));
    EXPECT_EQ(2u, bench.kernel.sentMessages().size());
}

TEST_F(IPMIProcessorTest, TimeOutsWaitTwentySecondsAndSleepTheRetryInterval) {
    Open();
    bench.bmc.answer(0x06, 0x01, 0x00);
    _KvoIPMICommandData record = MakeRecord(0x06, 0x01);

    bench.kernel.injectTimeouts(2);
    std::uint64_t before = bench.server.clock().elapsedMilliseconds();
    EXPECT_EQ(0u, Execute(record, Settings(3, 70)));
    EXPECT_EQ((std::vector<std::uint64_t>{70, 70}), bench.server.clock().sleeps());
    EXPECT_EQ(2 * 20000u + 2 * 70u, bench.server.clock().elapsedMilliseconds() - before);

    // A controller that never answers: RetryCount waits, one send, 320.
    bench.server.clock().clearSleeps();
    bench.kernel.loseResponses(1);
    EXPECT_EQ(0x140u, Execute(record, Settings(3, 70)));
    EXPECT_EQ(2u, bench.kernel.sentMessages().size());
    EXPECT_EQ(3u, bench.server.clock().sleeps().size());
}

TEST_F(IPMIProcessorTest, RetryCountZeroSendsOnceAndNeverWaits) {
    Open();
    bench.bmc.answer(0x06, 0x01, 0x00);
    _KvoIPMICommandData record = MakeRecord(0x06, 0x01);
    EXPECT_EQ(0x140u, Execute(record, Settings(0, 50)));
    EXPECT_EQ(1u, bench.kernel.sentMessages().size());
    EXPECT_TRUE(bench.kernel.receiveCalls().empty());
}

TEST_F(IPMIProcessorTest, ResponsesAbove253DataBytesOverrun) {
    Open();
    _KvoIPMICommandData record = MakeRecord(0x30, 0x50);

    bench.bmc.answer(0x30, 0x50, 0x00, std::vector<std::uint8_t>(252, 0xAB));
    EXPECT_EQ(0u, Execute(record, Settings(5, 50)));
    EXPECT_EQ(255u, record.responseLength);
    EXPECT_EQ(0xAB, record.responseBuffer[254]);

    record.responseLength = 7;
    bench.bmc.answer(0x30, 0x50, 0x00, std::vector<std::uint8_t>(253, 0xAB));
    EXPECT_EQ(0x140u, Execute(record, Settings(5, 50)));
    EXPECT_EQ(0x31, record.responseBuffer[0]);
    EXPECT_EQ(0x50, record.responseBuffer[1]);
    EXPECT_EQ(0x10, record.responseBuffer[2]);
    EXPECT_EQ(7u, record.responseLength);
    EXPECT_EQ(2u, bench.kernel.sentMessages().size());  // no repeat
}

TEST_F(IPMIProcessorTest, SendAndReceiveFailures) {
    Open();
    bench.bmc.answer(0x06, 0x01, 0x00);
    _KvoIPMICommandData record = MakeRecord(0x06, 0x01);

    bench.kernel.failSends(1);
    EXPECT_EQ(0x140u, Execute(record, Settings(5, 50)));
    EXPECT_EQ(0x01, record.responseBuffer[2]);
    EXPECT_TRUE(bench.kernel.sentMessages().empty());

    // Another receive error is an attempt with a pause, not the end.
    bench.kernel.failReceives(1, EIO);
    EXPECT_EQ(0u, Execute(record, Settings(5, 50)));
    EXPECT_EQ(0x00, record.responseBuffer[2]);
    EXPECT_EQ((std::vector<std::uint64_t>{50}), bench.server.clock().sleeps());

    // So is an answer without a completion code: the code of the exchange
    // before is no verdict on this one.
    bench.server.clock().clearSleeps();
    bench.kernel.emptyResponses(1);
    record.responseLength = 0;
    EXPECT_EQ(0x140u, Execute(record, Settings(2, 50)));
    EXPECT_EQ(2u, bench.kernel.sentMessages().size());  // not sent again
    EXPECT_EQ((std::vector<std::uint64_t>{50, 50}), bench.server.clock().sleeps());
    EXPECT_EQ(0u, record.responseLength);
}

TEST_F(IPMIProcessorTest, RequestLengthsOutsideTheBufferAreNotSent) {
    Open();
    _KvoIPMICommandData record = MakeRecord(0x06, 0x01);
    for (unsigned int length : {0u, 1u, 256u, 100000u}) {
        record.requestLength = length;
        EXPECT_EQ(0x140u, Execute(record, Settings(5, 50))) << length;
    }
    EXPECT_TRUE(bench.kernel.sentMessages().empty());
}

TEST_F(IPMIProcessorTest, FinalCodesEndTheRetryingAndOthersAreSentRetryCountTimes) {
    Open();
    const std::uint8_t finalCodes[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x08,
                                       0x10, 0xC1, 0xC2, 0xC7, 0xC8, 0xC9, 0xCC, 0xCE};
    const std::uint8_t retryableCodes[] = {0x07, 0x09, 0xC0, 0xC3, 0xC6, 0xCA,
                                           0xCB, 0xCD, 0xCF, 0xD5, 0xFF};
    std::uint8_t cmd = 0;
    for (std::uint8_t code : finalCodes) {
        bench.bmc.answer(0x30, ++cmd, code);
        _KvoIPMICommandData record = MakeRecord(0x30, cmd);
        EXPECT_EQ(0u, Execute(record, Settings(3, 50)));
        EXPECT_EQ(1u, bench.bmc.requestCount(0x30, cmd)) << std::hex << int(code);
        EXPECT_EQ(code, record.responseBuffer[2]);
    }
    EXPECT_TRUE(bench.server.clock().sleeps().empty());
    for (std::uint8_t code : retryableCodes) {
        bench.bmc.answer(0x30, ++cmd, code);
        _KvoIPMICommandData record = MakeRecord(0x30, cmd);
        EXPECT_EQ(0u, Execute(record, Settings(3, 50)));
        EXPECT_EQ(3u, bench.bmc.requestCount(0x30, cmd)) << std::hex << int(code);
        EXPECT_EQ(code, record.responseBuffer[2]);
    }
    // A busy controller that recovers: sent until the code is 0.
    bench.bmc.answerOnce(0x30, 0x99, 0xC0);
    bench.bmc.answer(0x30, 0x99, 0x00);
    _KvoIPMICommandData record = MakeRecord(0x30, 0x99);
    EXPECT_EQ(0u, Execute(record, Settings(3, 50)));
    EXPECT_EQ(2u, bench.bmc.requestCount(0x30, 0x99));
}

TEST_F(IPMIProcessorTest, RetryCountOneLogsNoRetriesLeftAfterItsPause) {
    writeTextFile("zebdebuglog", "");
    KvoIPMIInterfaceImpl facade;
    facade.InitializeKvoLogger();
    Open();
    bench.bmc.answer(0x30, 0x01, 0xC0);
    _KvoIPMICommandData record = MakeRecord(0x30, 0x01, {0x0F});
    EXPECT_EQ(0u, Execute(record, Settings(1, 40)));
    EXPECT_EQ((std::vector<std::uint64_t>{40}), bench.server.clock().sleeps());
    EXPECT_THAT(bench.internalLog(),
                HasSubstr("IPMIProcessor::ExecuteCommand Got IPMI return code as c0 and number of "
                          "retries left are 0 out of 1"));
    EXPECT_THAT(
        bench.internalLog(),
        HasSubstr("\nIPMI Request :  0x30 0x01 0x0f      IPMI Response :   0x31 0x01 0xc0\n"));
}

}  // namespace
