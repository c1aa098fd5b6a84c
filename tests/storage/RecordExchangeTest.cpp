#include <gtest/gtest.h>

#include "storage/Md5Wrapper.h"
#include "tests/storage/StorageFixture.h"
#include "tests/support/ControllerCommands.h"

namespace {

const char* const kPackage =
    "<?xml version=\"1.0\"?>\n<SoftwareComponent><SupportedDevices>"
    "<Device componentID=\"25227\"/></SupportedDevices></SoftwareComponent>\n";

using RecordExchangeTest = StorageTest;

}  // namespace

TEST_F(RecordExchangeTest, EveryKindOfRecordsComesBackAsTheControllerHasIt) {
    secureVesk& vesk = initialised();
    const ControllerConfig& config = controller.settings();
    struct Case {
        exmlMode mode;
        std::string expected;
    };
    for (const Case& c : {Case{EXML_PYX_QUERY_CURRENT_RECORDS, config.records.currentRecords},
                          Case{EXML_PYX_QUERY_HISTORY_RECORDS, config.records.historyRecords},
                          Case{EXML_PYX_QUERY_EVENT_RECORDS, config.records.eventRecords}}) {
        SCOPED_TRACE(c.mode);
        std::stringstream out;
        out << "kept:";
        ASSERT_TRUE(vesk.QueryPyx(out, c.mode));
        EXPECT_EQ("kept:" + c.expected, out.str());
        EXPECT_EQ(0, controller.storage().dynamicBitmap());
    }
    // The command file the controller checked carries the query's mode.
    EXPECT_EQ(3u, controller.exchangeOutcomes().size());
}

TEST_F(RecordExchangeTest, ModesTheQueryDoesNotHandleAreRefusedWithoutTouchingDropBoxes) {
    secureVesk& vesk = initialised();
    controller.createDynamic("SECUPD", 32768);  // another run's drop box
    veskPartInfo[0].attachMask = 0x0100;        // an earlier drop box in row 0
    for (exmlMode mode : {EXML_PYX_QUERY_DEPENDENCY, EXML_PYX_UPDATE_RECORDS, EXML_FILECOPY}) {
        std::stringstream out;
        EXPECT_FALSE(vesk.QueryPyx(out, mode));
        EXPECT_EQ(QUIB_INVALID_RECORD_REQUEST, vesk.lastError);
        EXPECT_EQ("", out.str());
    }
    EXPECT_TRUE(controller.exchanges().empty());
    EXPECT_EQ(0x0001, controller.storage().dynamicBitmap());
    EXPECT_NE(std::string::npos, log().find("Invalid update Pyx request."));

    vesk.EndVeskSession();
    std::stringstream out;
    EXPECT_FALSE(vesk.QueryPyx(out, EXML_PYX_QUERY_CURRENT_RECORDS));
    EXPECT_EQ(QUIB_NO_SESSION, vesk.lastError);
    EXPECT_NE(std::string::npos, log().find("QueryPyx called with NO active session"));
}

TEST_F(RecordExchangeTest, TheDigestGoesOverInFourPartsAfterItsHeader) {
    secureVesk& vesk = layerWithSession();
    // A drop box in slot 2 holding a command file, as the host leaves it.
    for (int i = 0; i < 3; ++i) {
        controller.createDynamic("SECUPD", 32768);
    }
    const std::string command =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VESK_Update>\n\t<File order=\"1\">\n"
        "\t\t\t\t<Mode>pyx_query_current_records</Mode>\n\t</File>\n</VESK_Update>\n\n";
    controller.writePartitionFile(true, 2, "update.xml", command);
    veskPartInfo[0].attachMask = 0x0400;
    const std::string digest = md5wrapper().getHashFromString(command);
    EXPECT_TRUE(vesk.SecureVeskCopy(vesk.session, digest, 0x0102));
    std::vector<Bytes> sent = controller.requestsFor(kHandOver);
    ASSERT_EQ(5u, sent.size());
    Bytes handle = handleBytes();
    EXPECT_EQ((Bytes{0x09, handle[0], handle[1], 0x00, 0x00, 0x04, 0, 0, 0, 0x02, 0x01}), sent[0]);
    EXPECT_EQ((Bytes{0x09, handle[0], handle[1], 0x01, static_cast<std::uint8_t>(digest[30]),
                     static_cast<std::uint8_t>(digest[31]), 0, 0, 0, 0, 0, 0, 0, 0, 0}),
              sent[4]);
    EXPECT_EQ(digest[10], sent[2][4]);
    EXPECT_NE(std::string::npos,
              log().find(std::string("Part 4 Hash: ") + digest[30] + " " + digest[31] + " "));
    EXPECT_TRUE(controller.exchangeOutcomes().back().accepted);
    // Only the last part counts: a refused header does not matter, a refused
    // last part does.
    controller.script().onCall(kHandOver, 6, Behaviour::code(0xCC));
    EXPECT_TRUE(vesk.SecureVeskCopy(vesk.session, digest, 0x0102));
    controller.script().onCall(kHandOver, 15, Behaviour::code(0xCC));
    EXPECT_FALSE(vesk.SecureVeskCopy(vesk.session, digest, 0));
}

TEST_F(RecordExchangeTest, TheNewerHandOverSendsTenCharactersAPart) {
    secureVesk& vesk = layerWithSession();
    const CommandKey kStaging = storageCommand(0x26);
    EXPECT_TRUE(vesk.SecureVeskCopyMk13Plus(vesk.session, std::string(40, 'a'), DIGEST_SHA256));
    std::vector<Bytes> sent = controller.requestsFor(kStaging);
    ASSERT_EQ(6u, sent.size());  // header, four full parts, an empty last one
    EXPECT_EQ((Bytes{0x26, sent[0][1], sent[0][2], 0x10, 0x00, 0x00}), sent[0]);
    EXPECT_EQ(0, sent[5][5]);
    controller.clearRecord();
    EXPECT_TRUE(vesk.SendHashPart(vesk.session, std::string(32, 'b')));
    sent = controller.requestsFor(kStaging);
    ASSERT_EQ(4u, sent.size());
    EXPECT_EQ('b', sent[3][6]);
    EXPECT_EQ(0, sent[3][7]);
    EXPECT_EQ(std::string(40, 'a') + std::string(32, 'b'), controller.stagingDigest());
}

TEST_F(RecordExchangeTest, DependencyVerdictsOfTheController) {
    writeTextFile("package.xml", kPackage);
    secureVesk& vesk = initialised();
    std::stringstream out;
    EXPECT_TRUE(vesk.doDepCheck(out, EXML_PYX_QUERY_DEPENDENCY));
    EXPECT_EQ("", out.str());
    EXPECT_NE(std::string::npos, log().find("Dependency Check successful"));

    controller.settings().records.dependenciesMet = false;
    controller.settings().records.unmetDependencies = "needs BIOS 2.20";
    EXPECT_FALSE(vesk.doDepCheck(out, EXML_PYX_QUERY_DEPENDENCY));
    EXPECT_EQ("\n<DependencyCheck><status>1</status>needs BIOS 2.20</DependencyCheck>\n",
              out.str());
    EXPECT_EQ(0, controller.storage().dynamicBitmap());

    EXPECT_FALSE(vesk.doDepCheck(out, EXML_PYX_QUERY_CURRENT_RECORDS));
    EXPECT_EQ(QUIB_WRONG_QUERY_TYPE, vesk.lastError);

    // Firmware that cannot judge dependencies: success, nothing sent.
    controller.settings().firmwareMajor = 1;
    controller.settings().firmwareMinor = 0x10;
    controller.clearRecord();
    EXPECT_TRUE(vesk.doDepCheck(out, EXML_PYX_QUERY_DEPENDENCY));
    EXPECT_TRUE(controller.requestsFor(kCreate).empty());
    // A capability query that fails counts as able.
    controller.script().always(kCapability, Behaviour::silent());
    controller.settings().records.dependenciesMet = true;
    EXPECT_TRUE(vesk.doDepCheck(out, EXML_PYX_QUERY_DEPENDENCY));
    EXPECT_EQ(1u, controller.requestsFor(kCreate).size());
}

TEST_F(RecordExchangeTest, WithoutAPackageTheDependencyCheckFailsAtTheCopy) {
    secureVesk& vesk = initialised();
    std::stringstream out;
    EXPECT_FALSE(vesk.doDepCheck(out, EXML_PYX_QUERY_DEPENDENCY));
    EXPECT_EQ(QUIB_INTERNAL_ERROR, vesk.lastError);
    EXPECT_NE(std::string::npos, log().find("<Hash>-1</Hash>"));
    EXPECT_NE(std::string::npos, log().find("doCopy failed"));
    EXPECT_EQ(0, controller.storage().dynamicBitmap());
    EXPECT_EQ(0, controller.storage().attachedMask(true));
}
