#include <gtest/gtest.h>

#include <cstring>

#include "tests/storage/StorageFixture.h"
#include "tests/support/ControllerCommands.h"

TEST(CommandNames, NameTheStorageSubCommands) {
    EXPECT_EQ("BeginVESKSession", getIPMICommandName(0x00));
    EXPECT_EQ("Getpartitionindexinfo", getIPMICommandName(0x03));
    EXPECT_EQ("GetVESKStatus", getIPMICommandName(0x0A));
    EXPECT_EQ("BeginVESKSessionExtended", getIPMICommandName(0x12));
    EXPECT_EQ("EndSecureUpdate", getIPMICommandName(0x23));
    EXPECT_EQ("GetBrennSystemInfo", getIPMICommandName(48));
    EXPECT_EQ("", getIPMICommandName(13));
    EXPECT_EQ("", getIPMICommandName(49));
    EXPECT_EQ("", getIPMICommandName(0x26));
    EXPECT_EQ(0xFF00, secureVesk::swapBytes(0x00FF));
    EXPECT_EQ(0x3412, secureVesk::swapBytes(0x1234));
}

TEST_F(StorageTest, StartUpReadsTheStorageTypeAndDumpsTheExchange) {
    secureVesk& vesk = layer();
    EXPECT_EQ(1, vesk.layerReady);
    EXPECT_EQ(1, vesk.veskType);  // Full
    EXPECT_EQ(0, vesk.lastError);
    EXPECT_NE(std::string::npos, log().find("Debug message logging started."));
    EXPECT_NE(std::string::npos, log().find(": IPMIRequest.cpp:"));
    EXPECT_NE(std::string::npos, log().find("  IPMIRequest[ 0x30 0xad 0x00 0x00]\n"));
    EXPECT_NE(std::string::npos, log().find(" IPMIResponse[ 0x31 0xad 0x00 0x00 0x00 0x00]\n"));

    // Responses are dumped as long as expected, not as long as they arrived:
    // a bare completion code, and an answer longer than asked for.
    controller.script().queue(storageCommand(0x10), Behaviour::code(5));
    clearRecord(IPMIReqBuf);
    EXPECT_EQ(1, vesk.IPMIRequest(0x10, &IPMIReqBuf, 8, 8));
    EXPECT_NE(std::string::npos,
              log().find(" IPMIResponse[ 0x31 0xa2 0x05 0x00 0x00 0x00 0x00 0x00]\n"));
    controller.script().queue(CommandKey{0x06, 0x02, -1}, Behaviour::code(0, {0x01, 0x02}));
    EXPECT_EQ(0, rstQuenta());
    EXPECT_NE(std::string::npos, log().find(" IPMIResponse[ 0x07 0x02 0x00]\n"));
}

TEST_F(StorageTest, RepeatAndOverrunCodesResendFromTheSnapshot) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> codes;  // answers in order; the last one repeats
        unsigned sends;
        std::size_t twoSecondSleeps;
        unsigned char status;
    };
    const Case cases[] = {
        {"busy every time", {8}, 10, 9, 2},
        {"overrun every time", {16}, 10, 0, 1},
        {"overrun after busy", {8, 16}, 10, 9, 2},
        {"busy then success", {8, 8, 0}, 3, 2, 0},
        {"abort fails at once", {5}, 1, 0, 1},
        {"pending ends at once", {2}, 1, 0, 2},
        {"unknown code, repeated by the library", {20}, 5, 0, 1},
    };
    secureVesk& vesk = layer();
    (void)vesk;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        controller.script().clear();
        for (std::size_t i = 0; i + 1 < c.codes.size(); ++i) {
            controller.script().queue(kStorageType, Behaviour::code(c.codes[i]));
        }
        controller.script().always(kStorageType, Behaviour::code(c.codes.back()));
        unsigned before = controller.callCount(kStorageType);
        server.clock().clearSleeps();
        clearRecord(IPMIReqBuf);
        EXPECT_EQ(c.status, OEMIPMIRequest(OEM_VESK_TYPE, 0, &IPMIReqBuf, 4, 6));
        EXPECT_EQ(c.sends, controller.callCount(kStorageType) - before);
        EXPECT_EQ(c.twoSecondSleeps, sleepsOf(2000));
        for (const Bytes& sent : controller.requestsFor(kStorageType)) {
            EXPECT_EQ((Bytes{0x00, 0x00}), sent);
        }
    }
    EXPECT_EQ(0u, controller.callCount(kStatus));
    EXPECT_NE(std::string::npos, log().find("ESM_STATUS_DEVICE_BUSY"));
    EXPECT_NE(std::string::npos, log().find("Unrecognized QUENTA return code [0x14]"));
}

TEST_F(StorageTest, RepeatCodesOnAStorageCommandAreNotPolled) {
    secureVesk& vesk = layerWithSession();
    controller.script().always(kIndexInfo, Behaviour::code(8));
    requestWithHandle();
    EXPECT_EQ(2, vesk.IPMIRequest(0x03, &IPMIReqBuf, 7, 13));
    EXPECT_EQ(10u, controller.callCount(kIndexInfo));
    EXPECT_EQ(0u, controller.callCount(kStatus));
    EXPECT_NE(std::string::npos, log().find(" IPMIRequest completion code =08"));
}

TEST_F(StorageTest, ProcessingCodeSleepsThenPollsUntilTheCommandFinishes) {
    secureVesk& vesk = layerWithSession();
    Bytes handle = handleBytes();
    // The library resends a code-255 answer itself; the controller answers
    // the resends of the running command alike and creates one partition.
    controller.script().queue(kCreate, Behaviour::pending(1, 0, 255));
    requestWithHandle();
    requestByte(IPMIReqBuf, 3) = 1;
    std::memcpy(&requestByte(IPMIReqBuf, 5), "SECUPD", 6);
    requestByte(IPMIReqBuf, 11) = 0x40;
    EXPECT_EQ(0, vesk.IPMIRequest(0x07, &IPMIReqBuf, 14, 9));
    EXPECT_EQ(0, responseByte(IPMIReqBuf, 0));
    EXPECT_EQ(0x0001, controller.storage().dynamicBitmap());
    EXPECT_EQ((std::vector<std::uint64_t>{2000, 1000, 1000}), longSleeps());
    Bytes status{0x0A, handle[0], handle[1], 0x07, 0x00, 0x00};
    EXPECT_EQ((std::vector<Bytes>{status, status}), controller.requestsFor(kStatus));
    EXPECT_NE(std::string::npos, log().find("QUENTA is processing\n"));
    EXPECT_NE(std::string::npos, log().find("Polling Count 1 \n "));
    EXPECT_NE(std::string::npos, log().find(" PollVeskCmdComplete IPMIResponse[ 0x31 0xa2 0x00"));
}

TEST_F(StorageTest, PollingVerdicts) {
    secureVesk& vesk = layerWithSession();

    // Finished at the first poll: one status request after one second.
    controller.script().queue(kIndexInfo, Behaviour::pending(0));
    requestWithHandle();
    EXPECT_EQ(0, vesk.IPMIRequest(0x03, &IPMIReqBuf, 7, 13));
    EXPECT_EQ(1u, controller.callCount(kStatus));
    EXPECT_EQ((std::vector<std::uint64_t>{1000}), longSleeps());

    // 2, 2, 5: the command failed; its code reaches IPMIReqBuf.
    controller.script().queue(kIndexInfo, Behaviour::pending(2, 5));
    requestWithHandle();
    EXPECT_EQ(2, vesk.IPMIRequest(0x03, &IPMIReqBuf, 7, 13));
    EXPECT_EQ(4u, controller.callCount(kStatus));
    EXPECT_EQ(5, responseByte(IPMIReqBuf, 0));

    // The status command itself fails: the loop ends at once.
    controller.clearRecord();
    controller.script().always(kStatus, Behaviour::code(1, {0, 0, 0, 0}));
    controller.script().queue(kIndexInfo, Behaviour::pending(0));
    requestWithHandle();
    EXPECT_EQ(2, vesk.IPMIRequest(0x03, &IPMIReqBuf, 7, 13));
    EXPECT_EQ(5u, controller.callCount(kStatus));
    EXPECT_EQ(2, responseByte(IPMIReqBuf, 0));
    EXPECT_NE(std::string::npos,
              log().find("GetVESKStatus Command returned: FAILURE.  Breaking out of Poll Loop"));

    // A limit of 3 with the command still running: three requests, false.
    controller.script().clear();
    controller.script().queue(kIndexInfo, Behaviour::pending(100));
    requestWithHandle();
    EXPECT_EQ(2, OEMIPMIRequest(OEM_VESK_COMMAND, 0x03, &IPMIReqBuf, 7, 13));
    unsigned before = controller.callCount(kStatus);
    EXPECT_FALSE(vesk.PollVeskCmdComplete(3, 0x03));
    EXPECT_EQ(before + 3, controller.callCount(kStatus));
}

TEST_F(StorageTest, PollingWithoutSessionOrLimitSendsNothing) {
    secureVesk& vesk = layer();
    EXPECT_FALSE(vesk.PollVeskCmdComplete(3000, 0x07));
    EXPECT_EQ(2, vesk.lastError);
    ASSERT_EQ(1, vesk.BeginVeskSessionExtended(1200));
    EXPECT_FALSE(vesk.PollVeskCmdComplete(0, 0x07));
    EXPECT_EQ(0u, controller.callCount(kStatus));
    EXPECT_EQ(0u, sleepsOf(1000));
}

TEST_F(StorageTest, AnyAnswerMayRenewTheHandle) {
    secureVesk& vesk = layerWithSession();
    unsigned short first = vesk.session.veskHandle;
    controller.script().queue(kIndexInfo, Behaviour::renewedHandle());
    vesk.getPartIndexInfo();
    EXPECT_NE(first, vesk.session.veskHandle);
    EXPECT_EQ(controller.sessionHandle(), vesk.session.veskHandle);
    EXPECT_NE(std::string::npos,
              log().find("New Vesk Handle = " + std::to_string(vesk.session.veskHandle)));
    // The next request carries the renewed handle and is accepted.
    controller.clearRecord();
    EXPECT_EQ(0x3F, vesk.getPartIndexInfo());
    Bytes sent = controller.requestsFor(kIndexInfo).at(0);
    EXPECT_EQ(handleBytes(), Bytes(sent.begin() + 1, sent.begin() + 3));

    // Bytes 0x34 0x12 give 0x1234; zero bytes leave the handle alone.
    controller.script().queue(kIndexInfo, Behaviour::answer({0x34, 0x12, 0, 0, 0, 0, 0, 0, 0, 0}));
    vesk.getPartIndexInfo();
    EXPECT_EQ(0x1234, vesk.session.veskHandle);
    EXPECT_NE(std::string::npos, log().find("New Vesk Handle = 4660"));
    controller.script().queue(kIndexInfo, Behaviour::answer({0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    vesk.getPartIndexInfo();
    EXPECT_EQ(0x1234, vesk.session.veskHandle);
}

// A controller that does not answer has not said it has no storage.
TEST_F(StorageTest, TransportFailureIsNotRepeatedByTheLayer) {
    secureVesk& vesk = layer();
    controller.script().always(kStorageType, Behaviour::silent());
    EXPECT_EQ(4, vesk.GetVeskType());
    EXPECT_EQ(QUIB_CONTROLLER_SILENT, vesk.lastError);
    EXPECT_TRUE(lastRequestUnanswered());
    EXPECT_NE(std::string::npos, log().find("ProcessVeskIPMICommand: PLIMXCommand ERROR \n"));
    EXPECT_NE(std::string::npos,
              log().find("The controller did not answer the storage type query."));
    controller.script().always(kStorageType, Behaviour::code(0xC1));
    EXPECT_EQ(0, vesk.GetVeskType());
    EXPECT_EQ(QUIB_NO_STORAGE, vesk.lastError);
    EXPECT_FALSE(lastRequestUnanswered());
    EXPECT_NE(std::string::npos, log().find("There is no vesk present on this system."));
}

TEST_F(StorageTest, ColdResetGoesThroughTheUnjudgedPath) {
    layer();
    EXPECT_EQ(0, rstQuenta());
    EXPECT_EQ(1u, controller.coldResets());
    EXPECT_NE(std::string::npos, log().find("ProcessIPMICommand Passed\n"));
    controller.script().always(CommandKey{0x06, 0x02, -1}, Behaviour::silent());
    server.clock().clearSleeps();
    EXPECT_EQ(1, rstQuenta());
    EXPECT_EQ(10u, sleepsOf(2000));
    EXPECT_NE(std::string::npos, log().find("PLIMXCommand ERROR from Quenta reset\n"));
}

TEST_F(StorageTest, QuibErrorOfAMissingObject) {
    EXPECT_EQ(17, secureVesk::getQuibError(nullptr));
    secureVesk& vesk = layer();
    vesk.storeErrorInfo(44);
    EXPECT_EQ(44, secureVesk::getQuibError(&vesk));
    EXPECT_EQ(44, vesk.getQuibError());
}

TEST_F(StorageTest, GenerationFromTheControllersByte) {
    const std::pair<std::uint8_t, int> cases[] = {
        {0x0E, 0}, {0x0F, 1}, {0x15, 1}, {0x16, 2}, {0x31, 3},
        {0x43, 2}, {0x42, 4}, {0x50, 5}, {0x62, 6}, {0xFF, 2},
    };
    secureVesk& vesk = layer();
    for (const auto& [byte, generation] : cases) {
        SCOPED_TRACE(static_cast<int>(byte));
        controller.settings().generationByte = byte;
        EXPECT_EQ(generation, vesk.GetSystemGeneration());
    }
    EXPECT_EQ((std::vector<Bytes>(10, Bytes{})), controller.requestsFor(oemCommand(0xBD)));
    EXPECT_NE(std::string::npos, log().find("It is a pre Mk12 system"));
    EXPECT_NE(std::string::npos, log().find("It is a Mk17 system"));

    // No answer at all is a failed query, not a pre-Mk12 controller's answer.
    controller.script().always(oemCommand(0xBD), Behaviour::silent());
    EXPECT_EQ(0, vesk.GetSystemGeneration());
    EXPECT_NE(std::string::npos, log().find("Get System Generation Failed"));

    GenerationType = 3;
    controller.clearRecord();
    EXPECT_EQ(3, vesk.GetSystemGeneration());
    EXPECT_EQ(0u, controller.exchanges().size());
    EXPECT_NE(std::string::npos, log().find("GetSystemGeneration : Returning Cached Value:1"));
}

TEST_F(StorageTest, NoLibraryMeansFailureNotACrash) {
    ASSERT_EQ(nullptr, pKvoIPMILibHandle);
    clearRecord(IPMIReqBuf);
    EXPECT_EQ(1, OEMIPMIRequest(OEM_VESK_TYPE, 0, &IPMIReqBuf, 4, 6));
    EXPECT_FALSE(ProcessIPMIReuestResponseUsingKvoIPMI(&IPMIReqBuf));
    EXPECT_EQ(0u, controller.exchanges().size());
}
