#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "storage/UpdatePyx.h"
#include "tests/storage/StorageFixture.h"
#include "tests/support/ControllerCommands.h"

namespace {

const char* const kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>";

// A package description with every kind of compatibility entry.
const char* const kPackage = R"(<?xml version="1.0"?>
<SoftwareComponent vendorVersion="2.20.0">
  <Name><Display lang="en">BIOS</Display></Name>
  <ComponentType value="BIOS"/>
  <versionCompatibilities>
    <verCompat type="BIOS" componentType="BIOS" min_version="2.1.0"/>
    <verCompat type="never"><versionSupportedSystems><versionSystemID>0A1B</versionSystemID></versionSupportedSystems></verCompat>
    <verCompat componentID="159" min_version="1.0"><Note/><versionSupportedSystems><Note/><versionSystemID>0A1B</versionSystemID><versionSystemID>0A1B</versionSystemID></versionSupportedSystems></verCompat>
    <verCompat type="other"><Note/><versionSupportedSystems><Note/><versionSystemID>0C2D</versionSystemID></versionSupportedSystems></verCompat>
  </versionCompatibilities>
  <Name><Display lang="en">ignored</Display></Name>
</SoftwareComponent>
)";

using RecordUpdateTest = StorageTest;

}  // namespace

TEST_F(RecordUpdateTest, RecordsDocumentFromThePackageAndTheSystemId) {
    writeTextFile("package.xml", kPackage);
    secureVesk& vesk = layer();
    const std::string compat1 =
        "<verCompat type=\"BIOS\" componentType=\"BIOS\" min_version=\"2.1.0\"></verCompat>";
    const std::string compat3 = "<verCompat componentID=\"159\" min_version=\"1.0\"></verCompat>";
    EXPECT_EQ(std::string(kDeclaration) +
                  "<Records><Device AgentID=\"3\" componentID=\"25227\" display=\"BIOS\" >"
                  "<Application componentType=\"BIOS\" version=\"2.20.0\" display=\"BIOS\" />"
                  "<versionCompatibilities>" +
                  compat1 + compat3 + compat3 + "</versionCompatibilities></Device></Records>",
              vesk.getPyxXml("25227", ""));

    // Values are written as attribute text: quotes and brackets in the package
    // cannot break the document or add elements to it.
    writeTextFile("package.xml",
                  "<SoftwareComponent vendorVersion=\"1&lt;2\"><Name><Display>A &quot;B&quot; "
                  "&amp; &lt;/Device&gt;</Display></Name><versionCompatibilities>"
                  "<verCompat type=\"x&quot;y\"/></versionCompatibilities></SoftwareComponent>");
    EXPECT_EQ(std::string(kDeclaration) +
                  "<Records><Device AgentID=\"3\" componentID=\"&lt;7\" "
                  "display=\"A &quot;B&quot; &amp; &lt;/Device&gt;\" >"
                  "<Application componentType=\"\" version=\"1&lt;2\" "
                  "display=\"A &quot;B&quot; &amp; &lt;/Device&gt;\" />"
                  "<versionCompatibilities><verCompat type=\"x&quot;y\" ></verCompat>"
                  "</versionCompatibilities></Device></Records>",
              vesk.getPyxXml("<7", ""));

    // A component type before the name leaves the display name empty; no
    // compatibilities element gives no fragment.
    writeTextFile("package.xml",
                  "<SoftwareComponent><ComponentType value=\"FRMW\"/><Name><Display>X</Display>"
                  "</Name></SoftwareComponent>");
    std::string display;
    std::string type;
    std::string version = "kept";
    EXPECT_EQ("", getPkgInfo("0A1B", display, type, version));
    EXPECT_EQ("", display);
    EXPECT_EQ("FRMW", type);
    EXPECT_EQ("kept", version);

    // Device input wins over the package: every Device element, with an
    // agent id unless it has one.
    std::string records = vesk.getPyxXml(
        "1",
        "<Records><Device componentID=\"7\"/><Device AgentID=\"5\" componentID=\"8\"/>"
        "</Records>");
    EXPECT_NE(std::string::npos, records.find("<Device componentID=\"7\" AgentID=\"3\"/>"));
    EXPECT_NE(std::string::npos, records.find("<Device AgentID=\"5\" componentID=\"8\"/>"));
    EXPECT_NE(std::string::npos, log().find("Device Input XML: "));
}

TEST_F(RecordUpdateTest, SystemIdFromTheProgramsOutput) {
    struct Case {
        const char* output;
        const char* expected;
    };
    const Case cases[] = {
        {"Server identification\nSystem ID: 0A1B\n", "0A1B"},
        {"x\nSystem ID=12340A1B\nmore\n", "0A1B"},
        {"System ID: 0A1B\n", ""},   // the line must follow a line feed
        {"x\nSystem ID: AB\n", ""},  // shorter than four characters
        {"x\nSystem ID: 0A1B", ""},  // no line end
        {"x\nSystem ID:\n", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        server.shell().clearScripts();
        server.shell().script("/getSystemId$", 0, c.output);
        EXPECT_EQ(c.expected, getSysID());
    }
    // The virtual server's own program, run from the current directory.
    server.shell().clearScripts();
    server.shell().clearCommands();
    EXPECT_EQ("0A1B", getSysID());
    EXPECT_EQ(1u, server.shell().commandsContaining(cwd.path() + "/getSystemId").size());

    // A directory the shell would read more into is quoted.
    const std::string odd = cwd.path() + "/a b;touch x";
    ASSERT_EQ(0, ::mkdir(odd.c_str(), 0755));
    ASSERT_EQ(0, ::chdir(odd.c_str()));
    server.shell().script("getSystemId'$", 0, "x\nSystem ID: 0C2D\n");
    std::string id = getSysID();
    ASSERT_EQ(0, ::chdir(cwd.path().c_str()));
    EXPECT_EQ("0C2D", id);
    EXPECT_EQ(1u, server.shell().commandsContaining("'" + odd + "/getSystemId'").size());
}

TEST_F(RecordUpdateTest, RefusedRequestsAndTheDropBoxSize) {
    writeTextFile("package.xml", kPackage);
    secureVesk& vesk = initialised();
    EXPECT_FALSE(vesk.UpdatePyx("25227", EXML_PYX_QUERY_CURRENT_RECORDS, ""));
    EXPECT_EQ(QUIB_INVALID_RECORD_REQUEST, vesk.lastError);
    EXPECT_EQ(0u, controller.callCount(kCreate));

    // The drop box holds the records and 32 KiB more.
    std::string input = "<Records><Device componentID=\"7\" display=\"D\"/></Records>";
    std::string records = vesk.getPyxXml("", input);
    ASSERT_TRUE(vesk.UpdatePyx("", EXML_PYX_UPDATE_ENTIRE_INVENTORY, input)) << log();
    Bytes create = controller.requestsFor(kCreate).at(0);
    EXPECT_EQ((records.size() + 32768 + 32767) / 32768, create[3] | (create[4] << 8));
    EXPECT_EQ(0, controller.storage().dynamicBitmap());
    // The whole inventory is now that one record.
    EXPECT_NE(std::string::npos,
              controller.settings().records.currentRecords.find("componentID=\"7\""));
    EXPECT_EQ(std::string::npos, controller.settings().records.currentRecords.find("25228"));

    // A drop box that cannot be presented is deleted again.
    controller.script().always(storageCommand(0x05), Behaviour::code(0xC1));
    EXPECT_FALSE(vesk.UpdatePyx("25227", EXML_PYX_UPDATE_RECORDS, ""));
    EXPECT_EQ(QUIB_DROPBOX_ATTACH_FAILED, vesk.lastError);
    EXPECT_EQ(0, controller.storage().dynamicBitmap());
    controller.script().clear();

    vesk.EndVeskSession();
    EXPECT_FALSE(vesk.UpdatePyx("25227", EXML_PYX_UPDATE_RECORDS, ""));
    EXPECT_EQ(QUIB_NO_SESSION, vesk.lastError);
    EXPECT_NE(std::string::npos, log().find("UpdatePyx called with NO Active Session"));
}
