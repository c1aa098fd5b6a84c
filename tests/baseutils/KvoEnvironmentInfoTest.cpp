#include "baseutils/KvoEnvironmentInfo.h"

#include <gtest/gtest.h>

#include "baseutils/KvoLXOperatingSystemVersion.h"
#include "vserver/VirtualServer.h"

namespace {

unsigned int detectedName(VirtualServer& server) {
    ScopedHostPort port(server);
    KvoEnvironmentInfo info;
    info.Initialize();
    return info.GetOSName();
}

}  // namespace

TEST(KvoEnvironmentInfo, TellsESXAndESXiFromOtherHosts) {
    {
        VirtualServer plain;
        EXPECT_EQ(0u, detectedName(plain));
    }
    {
        VirtualServer esx;
        esx.writeFile("/etc/vmware-release", "VMware ESX 4.1 (Kandinsky)\n");
        EXPECT_EQ(18u, detectedName(esx));
    }
    {
        // Only the first line counts.
        VirtualServer other;
        other.writeFile("/etc/vmware-release", "Something else\nVMware ESX 4.1\n");
        EXPECT_EQ(0u, detectedName(other));
    }
    {
        // The kernel name wins over the release file.
        VirtualServer esxi;
        esxi.writeFile("/etc/vmware-release", "VMware ESX 4.1\n");
        esxi.setUname("vmkernel", "6.5.0");
        EXPECT_EQ(19u, detectedName(esxi));
    }
}

TEST(KvoEnvironmentInfo, DetectsOnceAndKeepsTheResult) {
    VirtualServer server;
    ScopedHostPort port(server);
    KvoEnvironmentInfo info;
    EXPECT_EQ(0u, info.GetOSName());
    EXPECT_EQ(nullptr, info.GetOSVersion());
    server.setUname("VMkernel", "7.0.3");
    EXPECT_TRUE(info.Initialize());
    server.setUname("Linux", "6.1.0");
    EXPECT_TRUE(info.Initialize());
    EXPECT_EQ(19u, info.GetOSName());
    EXPECT_EQ(0u, info.GetOSArch());
    EXPECT_EQ(0u, info.GetOSType());
    EXPECT_EQ(0u, info.GetOSVendorName());
    ASSERT_NE(nullptr, info.GetOSVersion());
    EXPECT_EQ("0.0.0.0-", info.GetOSVersion()->GetVersion().GetUTF8String());
}

TEST(KvoLXOperatingSystemVersion, VersionTexts) {
    KvoLXOperatingSystemVersion version;
    version.SetVersionNumbers(6, 5, 0, 2);
    version.SetVersionSuffix(KvoString("build", KvoString::KvoEncodingUTF8));
    EXPECT_EQ("6.5.0.2-build", version.GetVersion().GetUTF8String());
    EXPECT_EQ("6.5", version.GetVendorVersion().GetUTF8String());
}
