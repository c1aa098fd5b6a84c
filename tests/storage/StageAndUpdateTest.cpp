#include <gtest/gtest.h>

#include <functional>

#include "tests/storage/StorageFixture.h"
#include "tests/support/ControllerCommands.h"

namespace {

class StageAndUpdateTest : public StorageTest {
protected:
    StagingConfig& staging() { return controller.settings().staging; }

    // The 0x26 requests of one function that were sent.
    std::vector<Bytes> functionRequests(std::uint8_t function) {
        std::vector<Bytes> result;
        for (const Bytes& request : controller.requestsFor(kStaging)) {
            if (request.size() > 3 && request[3] == function) {
                result.push_back(request);
            }
        }
        return result;
    }
};

}  // namespace

TEST_F(StageAndUpdateTest, StageStatusSequencesGiveThePollsResult) {
    struct Case {
        std::vector<std::uint8_t> statuses;
        int result;
        std::size_t waits;
        const char* logged;
    };
    const Case cases[] = {
        {{2, 2, 3}, 1, 2, "Success Update Staged and Reboot Required"},
        {{38}, -1, 0, "SHA256 Checksum match Failed"},
        {{0}, 0, 0, " Polling Success"},
        {{4}, 0, 0, "Success Update Applied or Update Staged: Reboot not Required"},
        {{1}, -1, 0, " Polling Failed"},
        {{5}, -1, 0, "Not Supported: Device or Actaion not supported"},
        {{6}, -1, 0, "Quenta firmware Update Required"},
        {{7}, -1, 0, "Orbe is Disabled"},
        {{99, 2, 4}, 0, 2, "Unknow return code and continue to poll again"},
    };
    secureVesk& vesk = layerWithSession();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        staging().stageStatuses = c.statuses;
        server.clock().clearSleeps();
        EXPECT_EQ(c.result, vesk.pollForStatus());
        EXPECT_EQ(c.waits, sleepsOf(2000));
        EXPECT_NE(std::string::npos, log().find(c.logged));
    }
    // The poll has an end: a controller that stays busy is given up on.
    staging().stageStatuses = {2};
    server.clock().clearSleeps();
    EXPECT_EQ(-1, vesk.pollForStatus());
    EXPECT_EQ(3000u, sleepsOf(2000));
    EXPECT_NE(std::string::npos, log().find("Leaving pollForStatus() Function"));

    vesk.EndVeskSession();
    EXPECT_EQ(-1, vesk.pollForStatus());
    EXPECT_EQ(QUIB_NO_SESSION, vesk.lastError);
    EXPECT_NE(std::string::npos, log().find("Polling Command is failed"));
}

TEST_F(StageAndUpdateTest, StageRequestAnswersAndTheirErrors) {
    struct Case {
        std::uint8_t answer;
        std::vector<std::uint8_t> statuses;
        bool result;
        unsigned char error;
    };
    const Case cases[] = {
        {1, {4}, false, QUIB_STAGE_FAILED},
        {2, {2, 3}, true, 0},
        {2, {38}, false, QUIB_STAGE_FAILED},
        {3, {4}, true, 0},
        {4, {4}, true, 0},
        {5, {4}, false, QUIB_STAGE_NOT_SUPPORTED},
        {6, {4}, false, QUIB_QUENTA_UPDATE_REQUIRED},
        {7, {4}, false, QUIB_ACCESS_DISABLED},
    };
    secureVesk& vesk = layerWithSession();
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.answer));
        staging().stageAnswer = c.answer;
        staging().stageStatuses = c.statuses;
        vesk.lastError = 0;
        EXPECT_EQ(c.result, vesk.sendIPMICommandToStageAndUpdate(true, DIGEST_SHA256));
        EXPECT_EQ(c.error, vesk.lastError);
    }
    EXPECT_NE(std::string::npos, log().find("Stage or Update Command is failed"));
    // Stage only, with a signature: function 0x02 and the marked byte.
    controller.clearRecord();
    staging().stageAnswer = 4;
    std::size_t before = controller.stageRequests().size();
    EXPECT_TRUE(vesk.sendIPMICommandToStageAndUpdate(false, DIGEST_GPG));
    EXPECT_TRUE(vesk.sendIPMICommandToStageAndUpdate(true, DIGEST_MD5));
    ASSERT_EQ(before + 2, controller.stageRequests().size());
    EXPECT_EQ(0x02, controller.stageRequests()[before].function);
    EXPECT_TRUE(controller.stageRequests()[before].signatureMarked);
    EXPECT_EQ(0x04, controller.stageRequests()[before + 1].function);
    EXPECT_FALSE(controller.stageRequests()[before + 1].signatureMarked);
    Bytes handle = handleBytes();
    EXPECT_EQ((Bytes{0x26, handle[0], handle[1], 0x02, 0x00, 0x01}), functionRequests(0x02)[0]);

    // An answer the layer does not know is asked again, but not for ever.
    staging().stageAnswer = 9;
    server.clock().clearSleeps();
    EXPECT_FALSE(vesk.sendIPMICommandToStageAndUpdate(true, DIGEST_SHA256));
    EXPECT_EQ(QUIB_STAGE_FAILED, vesk.lastError);
    EXPECT_EQ(3000u, sleepsOf(2000));

    controller.script().always(kStaging, Behaviour::code(0xC1));
    EXPECT_FALSE(vesk.sendIPMICommandToStageAndUpdate(true, DIGEST_SHA256));
    EXPECT_NE(std::string::npos, log().find("Stage and Update Command is failed"));
    controller.script().clear();
    vesk.EndVeskSession();
    EXPECT_FALSE(vesk.sendIPMICommandToStageAndUpdate(true, DIGEST_SHA256));
    EXPECT_EQ(QUIB_NO_SESSION, vesk.lastError);
    EXPECT_NE(std::string::npos, log().find("No Active Session to perform Stage/Update"));
}

TEST_F(StageAndUpdateTest, SecureUpdateSequenceMakesUsesAndDeletesItsDropBox) {
    secureVesk& vesk = layerWithSession();
    ASSERT_TRUE(vesk.beginSecureUpdate(vesk.session, 0x2345678));
    Bytes handle = handleBytes();
    // 1200 and only the low 16 bits of the payload argument.
    EXPECT_EQ((Bytes{0x20, handle[0], handle[1], 0xB0, 0x04, 0x00, 0x78, 0x56, 0, 0}),
              controller.requestsFor(kSecureBegin)[0]);
    ASSERT_TRUE(controller.secureUpdateSlot().has_value());
    EXPECT_EQ(0x5678, controller.secureUpdatePayload());
    EXPECT_NE(0, controller.storage().attachedMask(true));

    const std::string command =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VESK_Update>\n</VESK_Update>\n\n";
    controller.writePartitionFile(true, *controller.secureUpdateSlot(), "update.xml", command);
    std::string digest = "00112233445566778899aabbccddeeff";
    EXPECT_FALSE(vesk.processSecureUpdate(vesk.session, digest));
    EXPECT_NE(std::string::npos,
              log().find("processSecureUpdate : pfnProcessSecureUpdate failed : Return Code - "
                         "0x00cc"));
    Bytes sent = controller.requestsFor(kSecureProcess)[0];
    ASSERT_EQ(27u, sent.size());
    EXPECT_EQ((Bytes{0x00, 0x11, 0x22}), Bytes(sent.begin() + 5, sent.begin() + 8));
    EXPECT_EQ(0xFF, sent[20]);

    ASSERT_TRUE(vesk.endSecureUpdate(vesk.session));
    EXPECT_NE(std::string::npos, log().find("endSecureUpdate Succeeded"));
    EXPECT_FALSE(controller.secureUpdateSlot().has_value());
    EXPECT_EQ(0, controller.storage().dynamicBitmap());
    EXPECT_FALSE(vesk.endSecureUpdate(vesk.session));
    EXPECT_NE(std::string::npos,
              log().find("endSecureUpdate : pfnEndSecureUpdate failed : Return Code - 0x00cc"));

    controller.script().always(kSecureBegin, Behaviour::code(0xC1));
    EXPECT_FALSE(vesk.beginSecureUpdate(vesk.session, 1));
    EXPECT_NE(std::string::npos,
              log().find("beginSecureUpdate : pfnBeginSecureUpdate failed : Return Code - 0x00c1"));
}

// A timed-out exchange leaves completion code 0 in the request buffer: the
// transport's own status decides first.
TEST_F(StageAndUpdateTest, ASilentControllerFailsEverySecureUpdateStep) {
    secureVesk& vesk = layerWithSession();
    struct Step {
        const char* name;
        CommandKey key;
        std::function<bool()> call;
    };
    const Step steps[] = {
        {"begin", kSecureBegin, [&] { return vesk.beginSecureUpdate(vesk.session, 1); }},
        {"process", kSecureProcess,
         [&] { return vesk.processSecureUpdate(vesk.session, std::string(32, 'a')); }},
        {"end", kSecureEnd, [&] { return vesk.endSecureUpdate(vesk.session); }},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        controller.script().clear();
        controller.script().always(step.key, Behaviour::silent());
        vesk.lastError = 0;
        EXPECT_FALSE(step.call());
        EXPECT_EQ(QUIB_CONTROLLER_SILENT, vesk.lastError);
        EXPECT_NE(std::string::npos, log().find("failed : Return Code - no answer from the "
                                                "controller"));
    }
}

TEST_F(StageAndUpdateTest, CapabilityQueriesResetAndServiceEnvironment) {
    secureVesk& vesk = layerWithSession();
    struct Methods {
        std::uint8_t bits;
        digestType expected;
    };
    for (const Methods& c : {Methods{0x03, DIGEST_GPG}, Methods{0x02, DIGEST_GPG},
                             Methods{0x01, DIGEST_SHA256}, Methods{0x00, DIGEST_SHA256}}) {
        staging().digestMethods = c.bits;
        EXPECT_EQ(c.expected, vesk.QuerySupportedSecurtyMethod()) << int(c.bits);
    }
    EXPECT_TRUE(vesk.checkIfMk13PlusIPMISupported());
    staging().identityCheckFlag = 1;
    EXPECT_FALSE(vesk.checkIfMk13PlusIPMISupported());

    EXPECT_TRUE(vesk.StagevACResetRequestSIPMI());
    staging().resetAnswer = 8;
    EXPECT_FALSE(vesk.StagevACResetRequestSIPMI());
    controller.script().queue(kStaging, Behaviour::code(0x01));
    EXPECT_FALSE(vesk.StagevACResetRequestSIPMI());
    EXPECT_EQ(QUIB_STAGE_FAILED, vesk.lastError);

    for (std::uint8_t status : {0, 1, 2, 3, 4, 5}) {
        staging().orbeStatus = status;
        EXPECT_EQ(status, vesk.pollForOrbeStatus());
    }
    EXPECT_NE(std::string::npos, log().find("Orbe is In use..."));
    staging().orbeStatus = 9;
    EXPECT_EQ(0, vesk.pollForOrbeStatus());
    EXPECT_EQ((Bytes{0x1E}), controller.requestsFor(kOrbe)[0]);

    // A refused capability query falls back to MD5.
    controller.script().always(kStaging, Behaviour::code(0xC1));
    EXPECT_EQ(DIGEST_MD5, vesk.QuerySupportedSecurtyMethod());
    controller.script().always(kOrbe, Behaviour::silent());
    EXPECT_EQ(-1, vesk.pollForOrbeStatus());
    EXPECT_NE(std::string::npos, log().find("IPMI Command ERROR"));
}
