#include <gtest/gtest.h>

#include "baseutils/Logger.h"
#include "inventory/InventoryDocument.h"
#include "inventory/XMLParserWriter.h"
#include "storage/SecureVesk.h"
#include "tests/support/TestSupport.h"
#include "vserver/SimulatedServer.h"

namespace {

class InventoryDriverTest : public ::testing::Test {
protected:
    InventoryDriverTest() { GenerationType = -1; }

    // GetErrorMsg of code with the table text written in the current directory.
    std::string messageFor(const std::string& table, unsigned char code,
                           const std::string& program = "") {
        writeTextFile("ErrorCodes.xml", table);
        std::string path = program.empty() ? cwd.path() + "/ipmiinventory.exe" : program;
        std::vector<char> buffer(path.begin(), path.end());
        buffer.push_back('\0');
        char* arguments[] = {buffer.data(), nullptr};
        return writer.GetErrorMsg(arguments, code);
    }

    ScopedWorkingDirectory cwd;
    SimulatedServer server{loadServerDescription(bundledServersDirectory() + "/default.xml")};
    cXMLParserWriter writer;
};

}  // namespace

TEST_F(InventoryDriverTest, ErrorTexts) {
    const std::string rows =
        "<ErrorCodes><Other CodeNo=\"7\" Discription=\"not a row\"/>"
        "<ErrorCode CodeNo=\"07\" Discription=\"seven\"/>"
        "<ErrorCode CodeNo=\"7\" Discription=\"seven again\"/>"
        "<ErrorCode CodeNo=\"x7\" Discription=\"zero\"/>"
        "<ErrorCode CodeNo=\" +23\" Discription=\"twenty-three\"/></ErrorCodes>";
    EXPECT_EQ("seven", messageFor(rows, 7));
    EXPECT_EQ("zero", messageFor(rows, 0));
    EXPECT_EQ("twenty-three", messageFor(rows, 23));
    EXPECT_EQ(NO_ERRCODE, messageFor(rows, 24));
    EXPECT_EQ(ROOT_ERR_FAIL, messageFor("<Errors/>", 7));
    EXPECT_EQ(MISSING_ERR_FILE, messageFor("<ErrorCodes>", 7));
    std::remove("ErrorCodes.xml");
    std::vector<char> program{'p', 'r', 'o', 'g', '\0'};
    char* arguments[] = {program.data(), nullptr};
    EXPECT_EQ(MISSING_ERR_FILE, writer.GetErrorMsg(arguments, 7));
    // A program path without a separator reads the table from here.
    EXPECT_EQ("seven", messageFor(rows, 7, "ipmiinventory.exe"));
    EXPECT_EQ("", writer.applicationDirectory());
    messageFor(rows, 7, "C:\\tools\\inv.exe");
    EXPECT_EQ("C:\\tools\\", writer.applicationDirectory());
}

TEST_F(InventoryDriverTest, EveryLayerErrorNumberHasAText) {
    copyDataFiles(cwd.path());
    const unsigned codes[] = {0,  2,  3,  4,  5,  6,  7,  8,  9,  12, 14, 15, 16, 17, 20, 22, 23,
                              24, 25, 27, 29, 30, 31, 32, 33, 35, 36, 37, 44, 45, 46, 47, 48, 49,
                              53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 70};
    std::string program = cwd.path() + "/ipmiinventory.exe";
    std::vector<char> buffer(program.begin(), program.end());
    buffer.push_back('\0');
    char* arguments[] = {buffer.data(), nullptr};
    for (unsigned code : codes) {
        std::string text = writer.GetErrorMsg(arguments, static_cast<unsigned char>(code));
        EXPECT_NE(NO_ERRCODE, text) << code;
        EXPECT_NE(MISSING_ERR_FILE, text) << code;
    }
}

TEST_F(InventoryDriverTest, TheDependencyCheckRunsOnlyWhenAskedFor) {
    copyDataFiles(cwd.path());
    writeTextFile("package.xml",
                  "<SoftwareComponent><SupportedDevices><Device componentID=\"25227\"/>"
                  "</SupportedDevices></SoftwareComponent>");
    std::string program = cwd.path() + "/ipmiinventory.exe";
    std::vector<char> buffer(program.begin(), program.end());
    buffer.push_back('\0');
    char* arguments[] = {buffer.data(), nullptr};
    std::stringstream out;
    int veskType = 0;
    std::string error;
    server.controller().settings().records.dependenciesMet = false;
    EXPECT_FALSE(writer.GetPyxInvXML(out, veskType, arguments, error, false));
    EXPECT_EQ("One or More Dependencies Failed", error);
    EXPECT_EQ("", out.str());
    EXPECT_EQ(1u, server.controller().exchangeOutcomes().size());

    error.clear();
    EXPECT_TRUE(writer.GetPyxInvXML(out, veskType, arguments, error, true));
    EXPECT_EQ(2u, server.controller().exchangeOutcomes().size());
    EXPECT_EQ(server.controller().settings().records.currentRecords, out.str());
}

TEST_F(InventoryDriverTest, TheWrapperStatusFollowsTheStorageError) {
    std::stringstream entries;
    entries << WriteDeviceEntry("101", "Controller", "FRMW", "2.10");
    std::string document = writer.GetInventoryXmlToString(entries, 0, "", 1);
    EXPECT_NE(std::string::npos, document.find(SP_STAT_PASS + INV_SUCCESS_MSG + SP_STAT_TAIL));
    EXPECT_EQ(0u, document.find(GENERIC_XML_TAG + INV_HEAD_TAG + "<Device componentID=\"101\""));
}
