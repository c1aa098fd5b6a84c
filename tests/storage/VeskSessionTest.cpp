#include <gtest/gtest.h>

#include "tests/storage/StorageFixture.h"
#include "tests/support/ControllerCommands.h"

TEST_F(StorageTest, SessionOpensWithTheExtendedBeginAndEnds) {
    secureVesk& vesk = layer();
    EXPECT_EQ(0, vesk.IsSessionActive());
    EXPECT_EQ(2, vesk.lastError);

    ASSERT_EQ(1, vesk.BeginVeskSessionExtended(1200));
    EXPECT_EQ(0, vesk.lastError);
    EXPECT_EQ(1, vesk.session.sessionActive);
    EXPECT_EQ(controller.sessionHandle(), vesk.session.veskHandle);
    EXPECT_EQ(1200, controller.sessionTimeout());
    EXPECT_EQ((std::vector<Bytes>{{0x12, 0x02, 0xB0, 0x04, 0x00, 0x00}}),
              controller.requestsFor(kBeginExtended));
    // Already open: nothing is sent, still a success.
    EXPECT_EQ(1, vesk.BeginVeskSessionExtended(1200));
    EXPECT_EQ(1u, controller.callCount(kBeginExtended));

    vesk.session.dynPartBitmap = 0x0001;
    Bytes handle = handleBytes();
    ASSERT_EQ(1, vesk.EndVeskSession());
    EXPECT_EQ((std::vector<Bytes>{{0x01, handle[0], handle[1], 0x00, 0x00}}),
              controller.requestsFor(kEnd));
    EXPECT_FALSE(controller.sessionOpen());
    EXPECT_EQ(0, vesk.session.veskHandle);
    EXPECT_EQ(0, vesk.session.sessionActive);
    EXPECT_EQ(0x0001, vesk.session.dynPartBitmap);
    EXPECT_EQ(0, vesk.getPartIndexInfo());
    EXPECT_EQ(2, vesk.lastError);
    EXPECT_NE(std::string::npos,
              log().find("Session started successfully using BeginVESKSessionExtended command"));
    EXPECT_NE(std::string::npos, log().find("EndVeskSession succeeded"));
}

TEST_F(StorageTest, PlainBeginTwiceIsRefusedWith29) {
    secureVesk& vesk = layer();
    ASSERT_EQ(1, vesk.BeginVeskSession(60));
    EXPECT_EQ((std::vector<Bytes>{{0x00, 0x00, 0x3C, 0x00, 0x00, 0x00}}),
              controller.requestsFor(kBegin));
    EXPECT_EQ(0, vesk.BeginVeskSession(60));
    EXPECT_EQ(29, vesk.lastError);
    EXPECT_EQ(1u, controller.callCount(kBegin));
    EXPECT_NE(std::string::npos, log().find("Session is already active"));
}

TEST_F(StorageTest, RefusedBeginGivesFiveOr63ByGeneration) {
    struct Case {
        const char* name;
        bool monolithic;              // 0xBD unknown: generation query fails
        std::uint8_t generationByte;  // otherwise
        unsigned char error;
    };
    const Case cases[] = {
        {"generation unknown", true, 0x00, 5},
        {"pre Mk12", false, 0x0E, 5},
        {"Mk13", false, 0x16, 63},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        secureVesk& vesk = layer();
        GenerationType = -1;
        controller.settings().monolithic = c.monolithic;
        controller.settings().generationByte = c.generationByte;
        controller.script().always(kBegin, Behaviour::code(0x05));
        controller.script().always(kBeginExtended, Behaviour::code(0x05));
        unsigned generationQueries = controller.callCount(kGeneration);
        EXPECT_EQ(0, vesk.BeginVeskSessionExtended(1200));
        EXPECT_EQ(c.error, vesk.lastError);
        EXPECT_EQ(0, vesk.BeginVeskSession(1200));
        EXPECT_EQ(c.error, vesk.lastError);
        EXPECT_EQ(0, vesk.session.sessionActive);
        EXPECT_EQ(generationQueries + 2, controller.callCount(kGeneration));
    }
    EXPECT_NE(std::string::npos, log().find("BeginVESKSessionExtended Error starting session"));
    EXPECT_NE(std::string::npos, log().find("Error starting session"));
    EXPECT_NE(std::string::npos, log().find("Get System Generation Failed"));
    EXPECT_NE(std::string::npos, log().find("Mk13 or Mk13 Plus System"));
}

TEST_F(StorageTest, EndErrors) {
    secureVesk& vesk = layer();
    EXPECT_EQ(0, vesk.EndVeskSession());
    EXPECT_EQ(2, vesk.lastError);
    EXPECT_EQ(0u, controller.callCount(kEnd));
    EXPECT_NE(std::string::npos, log().find("No Active Session Found"));

    ASSERT_EQ(1, vesk.BeginVeskSessionExtended(1200));
    controller.script().queue(kEnd, Behaviour::code(0x05));
    EXPECT_EQ(0, vesk.EndVeskSession());
    EXPECT_EQ(30, vesk.lastError);
    // A failed end leaves the session marked open; the next one works.
    EXPECT_EQ(1, vesk.session.sessionActive);
    EXPECT_EQ(1, vesk.EndVeskSession());
}

TEST_F(StorageTest, BeginAnswerWithoutHandleKeepsTheOldOne) {
    secureVesk& vesk = layer();
    vesk.session.veskHandle = 0x0707;
    controller.script().queue(kBeginExtended, Behaviour::answer({0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(1, vesk.BeginVeskSessionExtended(1200));
    EXPECT_EQ(0x0707, vesk.session.veskHandle);
}

TEST_F(StorageTest, BeginAnswerWithoutCompletionCodeStartsNoSession) {
    secureVesk& vesk = layer();
    kernel.emptyResponses(1);
    EXPECT_EQ(0, vesk.BeginVeskSessionExtended(1200));
    EXPECT_EQ(0, vesk.session.sessionActive);
    EXPECT_EQ(0, vesk.session.veskHandle);
    EXPECT_EQ(63, vesk.lastError);
    EXPECT_NE(std::string::npos, log().find("ProcessVeskIPMICommand: PLIMXCommand ERROR \n"));
}

TEST_F(StorageTest, DestructionEndsTheSessionAndReleasesTheLibrary) {
    secureVesk& vesk = layer();
    ASSERT_EQ(1, vesk.BeginVeskSessionExtended(1200));
    vesk.setRestart();
    ASSERT_NE(nullptr, pKvoIPMILibHandle);
    this->vesk.reset();
    EXPECT_EQ(nullptr, pKvoIPMILibHandle);
    EXPECT_FALSE(controller.sessionOpen());
    // Restart: cold reset, then one session to see the controller is back.
    EXPECT_EQ(1u, controller.coldResets());
    EXPECT_EQ(2u, controller.sessionsBegun());
    EXPECT_EQ(60, controller.sessionTimeout());
    EXPECT_EQ((std::vector<std::uint64_t>{60000, 60000}), longSleeps());
}

// The library facade is process-wide: a second object replaces the first's
// (the sanitizer's leak check catches a facade left behind).
// Two objects would share the process-wide library and command records: a
// second one waits for the first's storage lock, gives up after five
// minutes and leaves the first's library alone.
TEST_F(StorageTest, ASecondObjectWaitsForTheFirstsStorageLockAndTouchesNothing) {
    layer();
    void* library = pKvoIPMILibHandle;
    ASSERT_NE(nullptr, library);
    auto second = std::make_unique<secureVesk>();
    EXPECT_EQ(QUIB_STORAGE_BUSY, second->getQuibError());
    EXPECT_EQ(0, second->layerReady);
    EXPECT_EQ(std::vector<std::uint64_t>(kStorageLockWaitSeconds, 1000), longSleeps());
    EXPECT_TRUE(controller.exchanges().empty());
    // Its start-up is refused too: no session, no clean-up of the first
    // object's partitions.
    unsigned sessions = controller.sessionsBegun();
    unsigned detaches = controller.callCount(kDetach);
    unsigned deletes = controller.callCount(kDelete);
    EXPECT_EQ(0, second->secureVeskInit());
    EXPECT_EQ(QUIB_STORAGE_BUSY, second->getQuibError());
    EXPECT_EQ(sessions, controller.sessionsBegun());
    EXPECT_EQ(detaches, controller.callCount(kDetach));
    EXPECT_EQ(deletes, controller.callCount(kDelete));
    second.reset();
    EXPECT_EQ(library, pKvoIPMILibHandle);
    EXPECT_TRUE(server.fileLocks().held(storageLockPath));
    vesk.reset();
    EXPECT_FALSE(server.fileLocks().held(storageLockPath));
    EXPECT_EQ(nullptr, pKvoIPMILibHandle);
}
