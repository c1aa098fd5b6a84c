#include <gtest/gtest.h>

#include "storage/OsType.h"
#include "tests/storage/StorageFixture.h"
#include "tests/support/ControllerCommands.h"

namespace {

const char* const kPackage = R"(<?xml version="1.0"?>
<SoftwareComponent>
  <SupportedDevices>
    <Device componentID="30000"/>
    <Device componentID="28897"/>
  </SupportedDevices>
</SoftwareComponent>)";

// What the controller was asked, one short name per request.
std::vector<std::string> commandNames(const ManagementController& controller) {
    std::vector<std::string> names;
    for (const RecordedExchange& exchange : controller.exchanges()) {
        char name[16];
        if (exchange.request.cmd == 0xA2 && !exchange.request.data.empty()) {
            std::snprintf(name, sizeof(name), "A2/%02X", exchange.request.data[0]);
        } else {
            std::snprintf(name, sizeof(name), "%02X", exchange.request.cmd);
        }
        names.push_back(name);
    }
    return names;
}

class StartupTest : public StorageTest {
protected:
    // A fresh object, initialised, with what start-up sent kept.
    int initialise() {
        vesk.reset();
        vesk = std::make_unique<secureVesk>();
        controller.clearRecord();
        server.clock().clearSleeps();
        return vesk->secureVeskInit();
    }
};

}  // namespace

TEST_F(StartupTest, AServedGenerationOpensTheSessionAndDetachesEverything) {
    controller.storage().createDynamic("OTHER1", 32768, 0x40);
    ASSERT_EQ(1, initialise());
    EXPECT_EQ(1, vesk->layerReady);
    EXPECT_EQ(3, GenerationType);
    EXPECT_EQ(0x12400000u, vesk->maxDropBoxSize);
    EXPECT_TRUE(controller.sessionOpen());
    EXPECT_EQ(1200, controller.sessionTimeout());
    EXPECT_EQ(
        (std::vector<std::string>{"BD", "AD", "AE", "A2/12", "A2/03", "A2/04", "A2/04", "A2/04",
                                  "A2/04", "A2/04", "A2/04", "A2/06", "A2/03", "A2/04"}),
        commandNames(controller));
    Bytes handle = handleBytes();
    EXPECT_EQ((std::vector<Bytes>{
                  {0x06, handle[0], handle[1], 0x00, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00}}),
              controller.requestsFor(kDetach));
    // Every static partition is in the catalogue; the other dynamic partition stays.
    EXPECT_EQ(1, veskPartInfo[22].present);
    EXPECT_EQ(0u, controller.callCount(kDelete));
    EXPECT_EQ(0x0001, controller.storage().dynamicBitmap());
    EXPECT_NE(std::string::npos, log().find("secureVeskInit some dynamic paritions exists."));
    EXPECT_NE(std::string::npos, log().find("Vesk Session Handle(2b, 1a)"));
    EXPECT_TRUE(longSleeps().empty());
}

TEST_F(StartupTest, ALeftoverDropBoxIsDeletedByName) {
    controller.storage().createDynamic("OTHER1", 32768, 0x40);
    controller.storage().createDynamic("secupd", 32768, 0x40);
    controller.storage().createDynamic("SECUPD", 32768, 0x40);
    ASSERT_EQ(1, initialise());
    // Slot 1 matches ignoring case; the search stops there.
    Bytes handle = handleBytes();
    EXPECT_EQ(
        (std::vector<Bytes>{{0x08, handle[0], handle[1], 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}}),
        controller.requestsFor(kDelete));
    EXPECT_EQ(0x0005, controller.storage().dynamicBitmap());
    EXPECT_NE(std::string::npos, log().find("deleteDynPartWithName DeleteDropBox successful"));
}

TEST_F(StartupTest, GenerationsDecideTheDropBoxLimitAndWhetherASessionIsOpened) {
    struct Case {
        std::uint8_t generationByte;
        int generation;
        bool session;
        unsigned maxDropBox;
    };
    const Case cases[] = {
        {0x0E, 0, true, 0x1D00000},   // pre-Mk12
        {0x16, 2, true, 0x12400000},  // Mk13
        {0x62, 6, false, 0},          // Mk17: not served, yet ready
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.generation);
        GenerationType = -1;
        controller.settings().generationByte = c.generationByte;
        ASSERT_EQ(1, initialise());
        EXPECT_EQ(1, vesk->layerReady);
        EXPECT_EQ(c.generation, GenerationType);
        EXPECT_EQ(c.session, vesk->session.sessionActive == 1);
        EXPECT_EQ(c.maxDropBox, vesk->maxDropBoxSize);
        vesk.reset();
    }
    EXPECT_NE(std::string::npos,
              log().find("INFO - This is >Mk17 server. SecureVesk IPMI calls are not supported."));
}

TEST_F(StartupTest, StorageThatIsAbsentOrDisabledFails) {
    struct Case {
        const char* name;
        std::uint8_t typeByte;
        std::uint8_t accessState;
        bool package;
        unsigned char error;
    };
    const Case cases[] = {
        {"unknown type", 0x03, 0, false, QUIB_NO_STORAGE},
        {"disabled", 0x00, 1, false, QUIB_ACCESS_DISABLED},
        {"recovering, no package", 0x00, 2, false, QUIB_ACCESS_DISABLED},
        {"disabled, bypass package", 0x00, 1, true, QUIB_ACCESS_DISABLED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        controller.settings().storageTypeByte = c.typeByte;
        controller.settings().accessState = c.accessState;
        std::remove("package.xml");
        if (c.package) {
            writeTextFile("package.xml", kPackage);
        }
        EXPECT_EQ(0, initialise());
        EXPECT_EQ(0, vesk->layerReady);
        EXPECT_EQ(c.error, vesk->lastError);
        EXPECT_FALSE(controller.sessionOpen());
        EXPECT_EQ(0x12400000u, vesk->maxDropBoxSize);
        vesk.reset();
    }
}

TEST_F(StartupTest, TheRecoveryBypassPackageMakesRecoveringStorageUsable) {
    controller.settings().accessState = 2;
    writeTextFile("package.xml", kPackage);
    ASSERT_EQ(1, initialise());
    EXPECT_EQ(0, vesk->accessState);
    EXPECT_TRUE(controller.sessionOpen());
    EXPECT_NE(std::string::npos, log().find("byPassRecoveryState: Component ID is 28897"));
    EXPECT_NE(std::string::npos, log().find("Orbe is in recovery state."));
}

TEST_F(StartupTest, ARefusedSessionIsTried36Rounds) {
    controller.script().always(kBeginExtended, Behaviour::code(0xCC));
    controller.script().always(kBegin, Behaviour::code(0xCC));
    EXPECT_EQ(0, initialise());
    EXPECT_EQ(QUIB_SESSION_START_ERROR, vesk->lastError);
    EXPECT_EQ(36u, controller.callCount(kBeginExtended));
    EXPECT_EQ(36u, controller.callCount(kBegin));
    EXPECT_EQ(35u, sleepsOf(2000));
    EXPECT_NE(std::string::npos, log().find("Begin Vesk Session Failed."));
    EXPECT_EQ(0u, controller.callCount(kDetach));
}

TEST_F(StartupTest, IdentificationQueries) {
    secureVesk& vesk = layer();
    // Firmware 2.0x20 on a modular controller (it knows 0xBD).
    EXPECT_EQ(1, vesk.isDepCheckSupported());
    EXPECT_EQ(0, vesk.isMonolithic());
    controller.settings().firmwareMajor = 1;
    controller.settings().firmwareMinor = 0x1E;
    EXPECT_EQ(0, vesk.isDepCheckSupported());
    controller.settings().monolithic = true;
    EXPECT_EQ(1, vesk.isDepCheckSupported());
    EXPECT_EQ(0, vesk.iSMk13Quenta());
    controller.script().always(oemCommand(0xBF), Behaviour::code(0xC1));
    EXPECT_EQ(0, vesk.isDepCheckSupported());
    EXPECT_NE(0, vesk.iSMk13Quenta());
    EXPECT_NE(std::string::npos, log().find("Function secureVesk::iSMk13Quenta failed closed"));
}

TEST_F(StartupTest, ComponentIdOfThePackage) {
    secureVesk& vesk = layer();
    std::string id;
    EXPECT_EQ(0, vesk.get_comp_id(id));
    EXPECT_NE(std::string::npos, log().find("Could not open package.xml"));
    writeTextFile("package.xml", "<Other/>");
    EXPECT_EQ(0, vesk.get_comp_id(id));
    EXPECT_EQ(QUIB_NO_COMPONENT_ID, vesk.lastError);
    writeTextFile("package.xml", "<SoftwareComponent><SupportedDevices/></SoftwareComponent>");
    EXPECT_EQ(0, vesk.get_comp_id(id));
    EXPECT_EQ(QUIB_NO_COMPONENT_ID, vesk.lastError);
    writeTextFile("package.xml", kPackage);
    ASSERT_EQ(1, vesk.get_comp_id(id));
    EXPECT_EQ("28897", id);
}

TEST_F(StartupTest, StateFlags) {
    secureVesk& vesk = layerWithSession();
    ASSERT_EQ(1, vesk.setStateFlag(0x04));
    EXPECT_EQ(0x04, controller.stateFlag());
    unsigned char flag = 0;
    ASSERT_EQ(1, vesk.getStateFlag(flag));
    EXPECT_EQ(0x04, flag);
    EXPECT_NE(std::string::npos, log().find("State flag set to STATE_FLAG_FIELD_SERVICE."));
    controller.script().always(storageCommand(0x10), Behaviour::code(0x05));
    EXPECT_EQ(0, vesk.getStateFlag(flag));
    EXPECT_EQ(QUIB_GET_STATE_FLAG_FAILED, vesk.lastError);
}

TEST_F(StartupTest, DestructionEndsTheSessionAndRemovesTheUdevRules) {
    ASSERT_EQ(1, initialise());
    EXPECT_TRUE(server.fileExists("/etc/udev/rules.d/98-secupdusb.rules"));
    EXPECT_TRUE(server.fileExists("/etc/udev/rules.d/00-secupd-brenn.rules"));
    vesk.reset();
    EXPECT_FALSE(controller.sessionOpen());
    EXPECT_EQ(1u, controller.callCount(kEnd));
    EXPECT_EQ(0u, controller.coldResets());
    EXPECT_FALSE(server.fileExists("/etc/udev/rules.d/98-secupdusb.rules"));
    EXPECT_FALSE(server.fileExists("/etc/udev/rules.d/00-secupd-brenn.rules"));
    EXPECT_TRUE(longSleeps().empty());
}

TEST_F(StartupTest, ALiteControllerIsNotResetOnRestart) {
    controller.settings().storageTypeByte = 0x01;
    ASSERT_EQ(1, initialise());
    vesk->setRestart();
    vesk.reset();
    EXPECT_EQ(0u, controller.coldResets());
    EXPECT_EQ((std::vector<std::uint64_t>{60000}), longSleeps());
    EXPECT_NE(std::string::npos, log().find("VESK Lite/Liter NOT resetting Quenta"));
}
