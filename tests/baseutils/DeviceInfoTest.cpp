#include "baseutils/DeviceInfo.h"

#include <gtest/gtest.h>

#include "baseutils/Logger.h"
#include "tests/support/TestSupport.h"
#include "vserver/VirtualServer.h"

TEST(DeviceInfo, NewRecordHoldsTheDefaults) {
    CDeviceInfo record;
    EXPECT_EQ(-1, record.getStatus());
    EXPECT_EQ(1, record.getDependencyType());
    EXPECT_EQ(0, record.getDeviceType());
    EXPECT_EQ(0, record.getParentDeviceType());
    EXPECT_EQ("", record.getComponentID());
    EXPECT_EQ("", record.getPCIInfo().vendorID);
    EXPECT_TRUE(record.getApplicationInfo().empty());
    EXPECT_TRUE(record.getDepenendencyPlatforms().empty());
    EXPECT_TRUE(record.getDependencyOS().empty());
    EXPECT_TRUE(record.getParentPCIInfo().empty());
    EXPECT_EQ(0, record.getBDFInfo().bdfWord);
    EXPECT_EQ(nullptr, record.getDeviceHandle());
    EXPECT_FALSE(record.getRebootRequired());
    EXPECT_EQ("", record.getSystemInfo().systemID);
}

TEST(DeviceInfo, FormattedPCIIdentityAndBusNumbersAreLogged) {
    VirtualServer server;
    ScopedHostPort port(server);
    ScopedWorkingDirectory cwd;
    CLogger::GetInstance()->Close();
    CLogger::GetInstance()->Initialize("IPMIInventoryLog.txt");

    CDeviceInfo record;
    record.setPCIInfo(SPCIInfo{"cid", "d", "sd", "v", "sv", "spare"});
    record.setPCIInfo(0x1F, 0x0, 0x123, 0xAB);
    record.setBDFInfo(3, 0, 1, 0x1234);
    CLogger::GetInstance()->Close();

    SPCIInfo pci = record.getPCIInfo();
    EXPECT_EQ("", pci.componentID);
    EXPECT_EQ("1f", pci.deviceID);
    EXPECT_EQ("0", pci.subDeviceID);
    EXPECT_EQ("123", pci.vendorID);
    EXPECT_EQ("ab", pci.subVendorID);
    EXPECT_EQ("", pci.spare);
    EXPECT_EQ(0x1234, record.getBDFInfo().bdfWord);
    EXPECT_EQ(3, record.getBDFInfo().bus);

    std::string log = readTextFile("IPMIInventoryLog.txt");
    for (const char* line : {": CDeviceInfo::setPCIInfo() Device id  1f\n",
                             ": CDeviceInfo::setPCIInfo() SubDevice id  0\n",
                             ": CDeviceInfo::setPCIInfo() Vendor id  123\n",
                             ": CDeviceInfo::setPCIInfo() SubVendor id  ab\n",
                             ": CDeviceInfo::setBDFInfo() Bus Number is  3\n",
                             ": CDeviceInfo::setBDFInfo() Device Number is  0\n",
                             ": CDeviceInfo::setBDFInfo() Function Number is  1\n"}) {
        EXPECT_NE(std::string::npos, log.find(line)) << line;
    }
}

TEST(DeviceInfo, FilePathTurnsBackslashesIntoSlashesOnce) {
    CDeviceInfo record;
    record.setFilePath("FOLDER01\\sub\\fw.bin");
    std::string first = record.getFilePath();
    EXPECT_EQ("https://downloads.example.com/firmware/FOLDER01/sub/fw.bin", first);
    EXPECT_EQ(first, record.getFilePath());
}

TEST(DeviceInfo, ComparisonsLookAtTheirOwnMembers) {
    CDeviceInfo a;
    a.setComponentType("FRMW");
    a.setComponentID("101");
    a.setVersion("1.2");
    a.setPCIInfo(SPCIInfo{"", "1f", "0", "8086", "1028", "x"});
    a.setBDFInfo(_BDFInfo{1, 2, 3, 4});

    CDeviceInfo display = a;
    display.setDisplay("other");
    EXPECT_TRUE(a.checkForEquality(&display));
    EXPECT_TRUE(a.checkForEqualityMIC(&display));
    EXPECT_FALSE(a == display);

    CDeviceInfo hidden = a;
    SPCIInfo pci = hidden.getPCIInfo();
    pci.spare = "y";
    hidden.setPCIInfo(pci);
    hidden.setBDFInfo(_BDFInfo{99, 2, 3, 4});
    EXPECT_TRUE(a.checkForEquality(&hidden));
    EXPECT_TRUE(a.checkForEqualityMIC(&hidden));
    EXPECT_TRUE(a == hidden);

    CDeviceInfo bus = a;
    bus.setBDFInfo(_BDFInfo{1, 9, 3, 4});
    EXPECT_FALSE(a.checkForEquality(&bus));
    EXPECT_TRUE(a.checkForEqualityMIC(&bus));

    CDeviceInfo vendor = a;
    pci = vendor.getPCIInfo();
    pci.vendorID = "8087";
    vendor.setPCIInfo(pci);
    EXPECT_FALSE(a.checkForEqualityMIC(&vendor));
    EXPECT_FALSE(a.checkForEquality(nullptr));
}

TEST(DeviceInfo, CopiesOwnTheirApplicationsAndNullIsIgnored) {
    CDeviceInfo original;
    original.setApplicationInfo(nullptr);
    EXPECT_TRUE(original.getApplicationInfo().empty());
    original.setApplicationInfo(new CDeviceApplicationInfo{"FRMW", "1.0", "fw", ""});

    CDeviceInfo copy(original);
    CDeviceInfo assigned;
    assigned.setApplicationInfo(new CDeviceApplicationInfo{});
    assigned = original;
    CDeviceInfo& same = assigned;
    assigned = same;
    {
        CDeviceInfo passedByValue = original;
        EXPECT_TRUE(original == passedByValue);
    }
    ASSERT_EQ(1u, copy.getApplicationInfo().size());
    ASSERT_EQ(1u, assigned.getApplicationInfo().size());
    EXPECT_NE(original.getApplicationInfo()[0], copy.getApplicationInfo()[0]);
    EXPECT_EQ("FRMW", original.getApplicationInfo()[0]->componentType);
    EXPECT_EQ("1.0", assigned.getApplicationInfo()[0]->version);
}
