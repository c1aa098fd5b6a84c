#include "storage/PyxConfigFile.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "storage/VeskLog.h"
#include "tests/support/TestSupport.h"
#include "vserver/VirtualServer.h"

namespace {

const std::string kHeader = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VESK_Update>\n";
const std::string kFooter = "</VESK_Update>\n\n";

cfgEntry makeEntry(int order, int mode, int digest, const std::string& source,
                   const std::string& destination, const std::string& hash) {
    cfgEntry result;
    result.order = order;
    result.mode = static_cast<exmlMode>(mode);
    result.digest = static_cast<digestType>(digest);
    result.source = source;
    result.destination = destination;
    result.hash = hash;
    return result;
}

cfgEntry entry(int order, int mode, int digest) {
    return makeEntry(order, mode, digest, "Update.xml", "Output.xml", "0123abcd");
}

std::string exchangeFile(std::vector<cfgEntry> entries) {
    std::ostringstream out;
    EXPECT_TRUE(CreatePyxConfigFile(out, std::move(entries)));
    return out.str();
}

struct ExchangeCase {
    int mode;
    int digest;
    std::string lines;  // between the File tags
};

const std::string kCurrent = "\t\t\t\t<Mode>pyx_query_current_records</Mode>\n";
const std::string kSha1 = "\t\t<Algorithm>SHA1</Algorithm>\n";
const std::string kMd5 = "\t\t<Algorithm>MD5</Algorithm>\n";

const ExchangeCase kExchangeCases[] = {
    {12, 0, kCurrent + kSha1},
    {12, 1, kCurrent + kMd5},
    {12, 2, kCurrent},
    {12, 7, kCurrent},
    {13, 1, "\t\t\t\t<Mode>pyx_query_history_records</Mode>\n" + kMd5},
    {14, 1, "\t\t\t\t<Mode>pyx_query_event_records</Mode>\n" + kMd5},
    {10, 1, "\t\t\t\t<Mode>pyx_update_records</Mode>\n\t\t\t\t<Source>input.xml</Source>\n" + kMd5},
    {11, 0,
     "\t\t<Hash>0123abcd</Hash>\n\t\t<Source>Update.xml</Source>\n"
     "\t\t<Mode>pyx_update_entire_inventory</Mode>\n" +
         kSha1},
    // The dependency query carries the package's digest ("abc" here).
    {15, 1,
     "\t\t<Source>package.xml</Source>\n\t\t<Hash>900150983cd24fb0d6963f7d28e17f72</Hash>\n"
     "\t\t<Mode>pyx_query_dependency</Mode>\n" +
         kMd5},
    // Every other mode is a query of the current records.
    {0, 0, kCurrent + kSha1},
    {1, 1, kCurrent + kMd5},
    {9, 2, kCurrent},
    {16, 0, kCurrent + kSha1},
    {99, 0, kCurrent + kSha1},
    {-1, 1, kCurrent + kMd5},
};

}  // namespace

class ExchangeFileTest : public ::testing::Test {
protected:
    ScopedWorkingDirectory cwd;
};

TEST_F(ExchangeFileTest, EachModeAndDigestWritesItsLines) {
    writeTextFile("package.xml", "abc");
    for (const ExchangeCase& c : kExchangeCases) {
        EXPECT_EQ(kHeader + "\t<File order=\"1\">\n" + c.lines + "\t</File>\n" + kFooter,
                  exchangeFile({entry(1, c.mode, c.digest)}))
            << "mode " << c.mode << ", digest " << c.digest;
    }
}

TEST_F(ExchangeFileTest, EntriesFollowInListOrder) {
    EXPECT_EQ(kHeader + kFooter, exchangeFile({}));
    EXPECT_EQ(kHeader + "\t<File order=\"7\">\n" + kCurrent + kSha1 + "\t</File>\n" +
                  "\t<File order=\"-2\">\n\t\t\t\t<Mode>pyx_query_event_records</Mode>\n" + kMd5 +
                  "\t</File>\n" + kFooter,
              exchangeFile({entry(7, 12, 0), entry(-2, 14, 1)}));
}

TEST_F(ExchangeFileTest, ADependencyQueryWithoutPackageCarriesTheUnreadableDigest) {
    EXPECT_NE(std::string::npos, exchangeFile({entry(1, 15, 1)}).find("\t\t<Hash>-1</Hash>\n"));
    // The package is read anew for every file.
    writeTextFile("package.xml", "abc");
    EXPECT_NE(std::string::npos, exchangeFile({entry(1, 15, 1)})
                                     .find("\t\t<Hash>900150983cd24fb0d6963f7d28e17f72</Hash>\n"));
}

namespace {

struct PlacementCase {
    int mode;
    std::string body;  // between the Hash element and the Algorithm element
};

// Entry: order 3, hash H, source dir/sub/src.bin, destination 21/dst/file.bin;
// the source text is the destination without its first element.
const PlacementCase kPlacementCases[] = {
    {0, ""},
    {1,
     "<Source>dst/file.bin</Source><Destination>21/dst/file.bin</Destination>"
     "<Mode>filecopy</Mode>"},
    {2,
     "<SourceVESK>21/dst/file.bin</SourceVESK>\n<Destination>21/dst/file.bin</Destination>\n"
     "<Mode>dircopy</Mode>\n"},
    {3,
     "<SourceVESK>dir/sub/src.bin</SourceVESK>\n<Destination>21/dst/file.bin</Destination>\n"
     "<Mode>filemove</Mode>\n"},
    {4,
     "<SourceVESK>dir/sub/src.bin</SourceVESK>\n<Destination>21/dst/file.bin</Destination>"
     "<Mode>dirmove</Mode>\n"},
    {5, "<Destination>21/dst/file.bin</Destination>\n<Mode>filedelete</Mode>\n"},
    {6, "<Destination>dir/sub/src.bin</Destination>\n<Mode>dirdelete</Mode>\n"},
    {7,
     "<Source>dst/file.bin</Source><Destination>21/dst/file.bin</Destination>"
     "<Mode>fileappend</Mode>"},
    {8, "<Destination>21/dst/file.bin</Destination><Mode>dirmake</Mode>\n"},
    {9, "<Source>src.bin</Source>\n<Mode>ssib</Mode>\n"},
    {10, ""},
    {11, ""},
    {12, ""},
    {13, ""},
    {14, ""},
    {15, ""},
    {17, ""},
};

cfgEntry placement(int mode, int digest) {
    return makeEntry(3, mode, digest, "dir/sub/src.bin", "21/dst/file.bin", "H");
}

std::string placementText(const cfgEntry& value, bool sourceFromEntry = false) {
    std::ostringstream out;
    AddCfgEntry(out, value, sourceFromEntry);
    return out.str();
}

const std::string kStart = "\t<File order=\"3\"><Hash>H</Hash>";

}  // namespace

TEST(PlacementEntryTest, EachModeWritesItsElements) {
    for (const PlacementCase& c : kPlacementCases) {
        EXPECT_EQ(kStart + c.body + "<Algorithm>MD5</Algorithm>\n</File>\n",
                  placementText(placement(c.mode, 1)))
            << "mode " << c.mode;
    }
}

TEST(PlacementEntryTest, SignedUnzipIsOneLineWithoutHashOrAlgorithm) {
    for (int digest : {0, 1, 2}) {
        EXPECT_EQ(
            "\t<File order=\"3\"><Source>dst/file.bin</Source><Destination>21/.</Destination>"
            "<Mode>signedunzip</Mode></File>\n",
            placementText(placement(16, digest)));
    }
    cfgEntry flat = placement(16, 1);
    flat.destination = "flat";
    EXPECT_EQ(
        "\t<File order=\"3\"><Source>dir/sub/src.bin</Source><Destination>flat/.</Destination>"
        "<Mode>signedunzip</Mode></File>\n",
        placementText(flat, true));
}

TEST(PlacementEntryTest, DigestTypeNamesTheAlgorithm) {
    const std::string dirmake = kStart + "<Destination>D</Destination><Mode>dirmake</Mode>\n";
    const std::pair<int, std::string> cases[] = {{0, "<Algorithm>SHA1</Algorithm>\n"},
                                                 {1, "<Algorithm>MD5</Algorithm>\n"},
                                                 {2, "<Algorithm>SHA256</Algorithm>\n"},
                                                 {3, ""},
                                                 {-1, ""}};
    for (const auto& [digest, algorithm] : cases) {
        cfgEntry value = placement(8, digest);
        value.destination = "D";
        EXPECT_EQ(dirmake + algorithm + "</File>\n", placementText(value)) << digest;
    }
}

TEST(PlacementEntryTest, SourceTextComesFromTheEntryOrTheDestination) {
    cfgEntry value = placement(1, 0);
    EXPECT_NE(std::string::npos,
              placementText(value, true).find("<Source>dir/sub/src.bin</Source>"));
    value.destination = "file.bin";  // no "/": all of it
    EXPECT_NE(std::string::npos, placementText(value).find("<Source>file.bin</Source>"));
    value.noDestination = true;
    EXPECT_EQ(kStart + "<Source>file.bin</Source><Mode>filecopy</Mode>" +
                  "<Algorithm>SHA1</Algorithm>\n</File>\n",
              placementText(value));
    value.source = "flat";  // ssib target without "/": the whole source
    value.mode = EXML_SSIB;
    EXPECT_NE(std::string::npos, placementText(value).find("<Source>flat</Source>\n"));
}

TEST(PlacementEntryTest, AnEmptyDestinationDropsTheAlgorithmUnlessTheTargetIsTheSource) {
    for (int mode = 0; mode <= 17; ++mode) {
        cfgEntry value = placement(mode, 1);
        value.destination.clear();
        bool fromSource = mode == EXML_DIRDELETE || mode == EXML_SSIB;
        EXPECT_EQ(fromSource, placementText(value).find("<Algorithm>") != std::string::npos)
            << "mode " << mode;
    }
    cfgEntry copy = placement(1, 1);
    copy.destination.clear();
    EXPECT_EQ(kStart + "<Source></Source><Destination></Destination><Mode>filecopy</Mode></File>\n",
              placementText(copy));
}

TEST(PlacementFileTest, HeaderEntriesAndFooterMakeTheFrameAndAreLogged) {
    VirtualServer server;
    ScopedHostPort port(server);
    ScopedWorkingDirectory cwd;
    writeTextFile("zebdebuglog", "");
    enableVeskLog();
    std::ostringstream out;
    AddCfgHdr(out);
    AddCfgEntry(out, placement(5, 2), false);
    AddCfgFtr(out);
    disableVeskLog();
    EXPECT_EQ(kHeader + kStart +
                  "<Destination>21/dst/file.bin</Destination>\n<Mode>filedelete</Mode>\n"
                  "<Algorithm>SHA256</Algorithm>\n</File>\n" +
                  kFooter,
              out.str());
    std::string log = readTextFile("QUIB_DBG.log");
    std::size_t header = log.find(": Adding the config file header\n");
    ASSERT_NE(std::string::npos, header);
    EXPECT_NE(std::string::npos, log.find(": Adding the config file footer\n", header));
}
