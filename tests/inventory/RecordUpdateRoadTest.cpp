#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "baseutils/Logger.h"
#include "inventory/Stage_IPMIInventory.h"
#include "inventory/XMLParserWriter.h"
#include "storage/SecureVesk.h"
#include "tests/support/ControllerCommands.h"
#include "tests/support/TestSupport.h"
#include "vserver/SimulatedServer.h"

namespace {

const char* const kBiosPackage = R"(<?xml version="1.0"?>
<SoftwareComponent vendorVersion="2.20.0">
  <Name><Display lang="en">BIOS</Display></Name>
  <ComponentType value="BIOS"/>
  <SupportedDevices><Device componentID="25227"/></SupportedDevices>
  <versionCompatibilities><verCompat type="BIOS" min_version="2.1.0"/></versionCompatibilities>
</SoftwareComponent>
)";

class RecordUpdateRoadTest : public ::testing::Test {
protected:
    RecordUpdateRoadTest() { copyDataFiles(cwd.path()); }
    void SetUp() override { CLogger::GetInstance()->Close(); }
    void TearDown() override {
        CLogger::GetInstance()->Close();
        for (CDeviceInfo* record : devices) {
            delete record;
        }
    }

    SimulatedServer server{loadServerDescription(bundledServersDirectory() + "/default.xml")};
    ScopedWorkingDirectory cwd;
    std::vector<CDeviceInfo*> devices;
};

}  // namespace

TEST_F(RecordUpdateRoadTest, TheUpdatedRecordShowsInTheNextInventory) {
    writeTextFile("package.xml", kBiosPackage);
    {
        cXMLParserWriter writer;
        ASSERT_NE(nullptr, writer.storageLayer());
        ASSERT_EQ(1, writer.storageLayer()->secureVeskInit());
        std::string errorText;
        ASSERT_TRUE(writer.UpdatePyxRecord(nullptr, errorText)) << errorText;
    }
    EXPECT_EQ(0, server.controller().storage().dynamicBitmap());
    GetInventory(devices);
    ASSERT_EQ(12u, devices.size());
    auto bios = std::find_if(devices.begin(), devices.end(), [](CDeviceInfo* record) {
        return record->getComponentID() == "25227";
    });
    ASSERT_NE(devices.end(), bios);
    EXPECT_EQ("2.20.0", (*bios)->getVersion());
    EXPECT_EQ("BIOS", (*bios)->getDeviceName());

    // A refused update names the layer's error in the error table's words.
    server.controller().script().always(storageCommand(0x09), Behaviour::code(0xC1));
    cXMLParserWriter writer;
    ASSERT_EQ(1, writer.storageLayer()->secureVeskInit());
    std::string errorText;
    EXPECT_FALSE(writer.UpdatePyxPartition("25227", nullptr, errorText));
    EXPECT_EQ(QUIB_HASH_TRANSFER_FAILED, writer.storageError());
    EXPECT_FALSE(errorText.empty());
    EXPECT_EQ(0, server.controller().storage().dynamicBitmap());
}

// A package description that yields no component id or no version writes
// no record: the update fails with its error and nothing reaches the
// controller.
TEST_F(RecordUpdateRoadTest, AnUnreadablePackageDescriptionWritesNoRecord) {
    const struct {
        const char* name;
        const char* package;  // null: a directory named package.xml
        unsigned char error;
    } cases[] = {
        {"malformed", "<SoftwareComponent vendorVersion=\"1\"><Supported", QUIB_NO_COMPONENT_ID},
        {"empty", "", QUIB_NO_COMPONENT_ID},
        {"wrong root", "<Package vendorVersion=\"1\"/>", QUIB_NO_COMPONENT_ID},
        {"no component id",
         "<SoftwareComponent vendorVersion=\"1\"><SupportedDevices><Device/></SupportedDevices>"
         "</SoftwareComponent>",
         QUIB_NO_COMPONENT_ID},
        {"no version",
         "<SoftwareComponent><SupportedDevices><Device componentID=\"25227\"/>"
         "</SupportedDevices></SoftwareComponent>",
         QUIB_NO_PACKAGE_VERSION},
        {"a directory", nullptr, QUIB_NO_COMPONENT_ID},
    };
    char program[] = "./ipmiinventory.exe";
    char* arguments[] = {program, nullptr};
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        std::filesystem::remove_all("package.xml");
        if (each.package) {
            writeTextFile("package.xml", each.package);
        } else {
            std::filesystem::create_directory("package.xml");
        }
        cXMLParserWriter writer;
        ASSERT_EQ(1, writer.storageLayer()->secureVeskInit());
        server.controller().clearRecord();
        std::string errorText;
        EXPECT_FALSE(writer.UpdatePyxRecord(arguments, errorText));
        EXPECT_EQ(each.error, writer.storageError());
        EXPECT_EQ(writer.GetErrorMsg(arguments, each.error), errorText);
        EXPECT_NE(std::string::npos, errorText.find("package.xml"));
        EXPECT_EQ(0u, server.controller().callCount(storageCommand(0x07)));  // no drop box
    }
}

// The store keeps one current record per device: an update for a component
// it holds replaces that component's records (each keeps its own name and
// takes the new version; the earlier ones go to the history), never adds a
// second one beside them.
TEST_F(RecordUpdateRoadTest, AnUpdatedComponentReplacesItsRecordsAndKeepsTheOldInTheHistory) {
    writeTextFile("package.xml", R"(<SoftwareComponent vendorVersion="00.1E.00">
  <Name><Display lang="en">Power Supply Firmware</Display></Name>
  <ComponentType value="FRMW"/>
  <SupportedDevices><Device componentID="101734"/></SupportedDevices>
</SoftwareComponent>
)");
    {
        cXMLParserWriter writer;
        ASSERT_EQ(1, writer.storageLayer()->secureVeskInit());
        std::string errorText;
        ASSERT_TRUE(writer.UpdatePyxRecord(nullptr, errorText)) << errorText;
    }
    GetInventory(devices);
    ASSERT_EQ(12u, devices.size());
    std::vector<std::string> supplies;
    for (CDeviceInfo* record : devices) {
        if (record->getComponentID() == "101734") {
            supplies.push_back(record->getDeviceName() + " " + record->getVersion() + " " +
                               record->getDisplay());
        }
    }
    EXPECT_EQ((std::vector<std::string>{"Power Supply 1 00.1E.00 Power Supply Firmware",
                                        "Power Supply 2 00.1E.00 Power Supply Firmware"}),
              supplies);
    const std::string& history = server.controller().settings().records.historyRecords;
    EXPECT_NE(std::string::npos, history.find("display=\"Power Supply 2\""));
    EXPECT_NE(std::string::npos, history.find("version=\"00.1D.7D\""));
}
