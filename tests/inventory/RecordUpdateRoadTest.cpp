#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "baseutils/Logger.h"
#include "inventory/Stage_IPMIInventory.h"
#include "inventory/XMLParserWriter.h"
#include "storage/SecureVesk.h"
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
