#include <gtest/gtest.h>

#include <string>

#include "kvoipmi/KvoIPMIInterfaceImpl.h"
#include "kvoipmi/KvoIPMIXMLConfiguration.h"
#include "tests/kvoipmi/IpmiTestBench.h"

namespace {

KvoString Utf8(const char* text) {
    return KvoString(text, KvoString::KvoEncodingUTF8);
}

TEST(KvoIPMIXMLConfig, ReadsTheDefaultEntryOfTheDefaultDevice) {
    ScopedWorkingDirectory cwd;
    writeTextFile(
        "KvoIPMIConfig.xml",
        ConfigFile("Default", "Default",
                   "<Other>1</Other><RetryCount> 7x</RetryCount><RetryCount>9</RetryCount>"
                   "<PollingCount>many</PollingCount>"));
    KvoIPMIXMLConfig config(Utf8("KvoIPMIConfig.xml"));
    ASSERT_TRUE(config.Initialize());
    int value = -1;
    EXPECT_TRUE(config.GetConfigInt(Utf8("RetryCount"), &value));
    EXPECT_EQ(7, value);  // the first match, digits up to the first other character
    EXPECT_TRUE(config.GetConfigInt(Utf8("PollingCount"), &value));
    EXPECT_EQ(0, value);
    value = -1;
    EXPECT_FALSE(config.GetConfigInt(Utf8("RetryInterval"), &value));
    EXPECT_EQ(-1, value);
}

TEST(KvoIPMIXMLConfig, OnlyTheExactNameDefaultMatches) {
    const std::pair<std::string, std::string> misses[] = {
        {"Default ", "Default"}, {"default", "Default"}, {"Default", "DEFAULT"}};
    for (const auto& miss : misses) {
        ScopedWorkingDirectory cwd;
        writeTextFile("KvoIPMIConfig.xml",
                      ConfigFile(miss.first, miss.second, "<RetryCount>2</RetryCount>"));
        KvoIPMIXMLConfig config(Utf8("KvoIPMIConfig.xml"));
        int value = -1;
        EXPECT_FALSE(config.GetConfigInt(Utf8("RetryCount"), &value)) << miss.first;
        EXPECT_EQ(-1, value);
    }
}

TEST(KvoIPMIXMLConfig, MissingOrBrokenFilesAreNotLoadedAndTriedAgain) {
    ScopedWorkingDirectory cwd;
    KvoIPMIXMLConfig config(Utf8("KvoIPMIConfig.xml"));
    EXPECT_FALSE(config.Initialize());
    writeTextFile("KvoIPMIConfig.xml", "<KvoRoot><Device name=\"Default\">");
    EXPECT_FALSE(config.Initialize());
    writeTextFile("KvoIPMIConfig.xml", ConfigFile("Default", "Default", ""));
    EXPECT_TRUE(config.Initialize());
    EXPECT_NE(nullptr, config.GetDefaultConfigNode());
    // Release forgets the document together with the entry cached inside it.
    EXPECT_TRUE(config.Release());
    writeTextFile("KvoIPMIConfig.xml",
                  ConfigFile("Default", "Default", "<RetryCount>4</RetryCount>"));
    int value = 0;
    EXPECT_TRUE(config.GetConfigInt(Utf8("RetryCount"), &value));
    EXPECT_EQ(4, value);
}

// Sends one command whose completion code stays retryable: the number of
// sends is the retry count the session settled on.
std::size_t SendsOfARetryableCommand(IpmiBench& bench, KvoIPMIInterfaceImpl& facade,
                                     _KvoIPMIConfiguration* own) {
    bench.bmc.answer(0x30, 0x42, 0xC0);
    std::size_t before = bench.bmc.requestCount(0x30, 0x42);
    _KvoIPMICommandData record = MakeRecord(0x30, 0x42);
    record.configuration = own;
    EXPECT_EQ(0u, facade.IPMIRequest(&record));
    return bench.bmc.requestCount(0x30, 0x42) - before;
}

TEST(KvoIPMIConfigurationPrecedence, AFileOverridesTheApplicationAndTheCommand) {
    IpmiBench bench;
    writeTextFile("KvoIPMIConfig.xml",
                  ConfigFile("Default", "Default", "<RetryCount>2</RetryCount>"));
    KvoIPMIInterfaceImpl facade;
    _KvoIPMIConfiguration application = Settings(4, 25);
    ASSERT_EQ(0u, facade.Initialize(&application));
    _KvoIPMIConfiguration own = Settings(6, 10);
    EXPECT_EQ(2u, SendsOfARetryableCommand(bench, facade, &own));
    EXPECT_EQ(2u, SendsOfARetryableCommand(bench, facade, nullptr));
    // The other keys kept the application's values: a 25 ms pause.
    EXPECT_EQ(25u, bench.server.clock().sleeps().back());
}

TEST(KvoIPMIConfigurationPrecedence, WithoutAFileTheCommandThenTheApplicationDecide) {
    IpmiBench bench;
    KvoIPMIInterfaceImpl facade;
    _KvoIPMIConfiguration application = Settings(4, 25);
    ASSERT_EQ(0u, facade.Initialize(&application));
    _KvoIPMIConfiguration own = Settings(3, 10);
    EXPECT_EQ(3u, SendsOfARetryableCommand(bench, facade, &own));
    EXPECT_EQ(4u, SendsOfARetryableCommand(bench, facade, nullptr));
}

TEST(KvoIPMIConfigurationPrecedence, BuiltInDefaultsAndAnEntrylessFileStillOverride) {
    IpmiBench bench;
    writeTextFile("KvoIPMIConfig.xml", "<KvoRoot><Device name=\"Other\"/></KvoRoot>");
    KvoIPMIInterfaceImpl facade;
    ASSERT_EQ(0u, facade.Initialize(static_cast<const _KvoIPMIConfiguration*>(nullptr)));
    _KvoIPMIConfiguration own = Settings(2, 10);
    EXPECT_EQ(5u, SendsOfARetryableCommand(bench, facade, &own));
    EXPECT_EQ(50u, bench.server.clock().sleeps().back());
}

// Two threads whose first requests meet while the file is present: one of
// them reads it, for both sessions. A document read twice is lost, which the
// leak check of the sanitizer build reports; the race shows only now and
// then, so the threads meet many times.
TEST(KvoIPMIConfigurationPrecedence, SessionsThatStartTogetherReadTheFileOnce) {
    IpmiBench bench;
    SerialHostPort serial(bench.server);
    ScopedHostPort port(serial);
    writeTextFile("zebdebuglog", "");
    bench.bmc.answer(0x30, 0x42, 0xC0);
    KvoIPMIInterfaceImpl facade;
    // Started before the file exists: the first sessions of the threads read it.
    ASSERT_EQ(0u, facade.Initialize(static_cast<const _KvoIPMIConfiguration*>(nullptr)));
    writeTextFile("KvoIPMIConfig.xml",
                  ConfigFile("Default", "Default", "<RetryCount>2</RetryCount>"));
    constexpr std::size_t kMeetings = 50;
    for (std::size_t meeting = 0; meeting < kMeetings; ++meeting) {
        KvoIPMISession::mIPMIXMLConfig.Release();
        auto firstRequest = [&] {
            _KvoIPMICommandData record = MakeRecord(0x30, 0x42);
            EXPECT_EQ(0u, facade.IPMIRequest(&record));
            EXPECT_EQ(1u, facade.Release());
        };
        RunTogether(firstRequest, firstRequest);
    }
    // Every session took its retry count from the file.
    EXPECT_EQ(kMeetings * 2 * 2, bench.bmc.requestCount(0x30, 0x42));
}

TEST(KvoIPMIConfigurationPrecedence, AFileNamedAtInitializeIsRead) {
    IpmiBench bench;
    writeTextFile("ipmi-settings.xml",
                  ConfigFile("Default", "Default", "<RetryCount>1</RetryCount>"));
    KvoIPMIInterfaceImpl facade;
    ASSERT_EQ(0u, facade.Initialize(Utf8("ipmi-settings.xml")));
    EXPECT_EQ(1u, SendsOfARetryableCommand(bench, facade, nullptr));
}

}  // namespace

namespace {

TEST(KvoIPMIXMLConfig, TheShippedExampleCarriesTheBuiltInValues) {
    std::string source = __FILE__;
    std::string example =
        readTextFile(source.substr(0, source.rfind("/tests/")) + "/data/KvoIPMIConfig.xml");
    ASSERT_FALSE(example.empty());
    ScopedWorkingDirectory cwd;
    writeTextFile("KvoIPMIConfig.xml", example);
    KvoIPMIXMLConfig config(Utf8("KvoIPMIConfig.xml"));
    const std::pair<const char*, int> expected[] = {
        {"RetryCount", 5}, {"RetryInterval", 50}, {"PollingInterval", 60}, {"PollingCount", 5}};
    for (const auto& key : expected) {
        int value = -1;
        EXPECT_TRUE(config.GetConfigInt(Utf8(key.first), &value)) << key.first;
        EXPECT_EQ(key.second, value) << key.first;
    }
}

}  // namespace
