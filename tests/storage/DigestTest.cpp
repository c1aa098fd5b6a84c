#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "storage/CDoubleBuffering.h"
#include "storage/CSHA.h"
#include "storage/MD5.h"
#include "storage/Md5Wrapper.h"
#include "tests/support/TestSupport.h"
#include "vserver/VirtualServer.h"

namespace {

using Vector = std::pair<std::string, std::string>;

// RFC 1321, appendix A.5.
const std::vector<Vector> kMd5Vectors = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

// FIPS 180-2, appendix B, and the empty message.
const std::vector<Vector> kSha256Vectors = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

const char kMillionAMd5[] = "7707d6ae4e027c70eea2a935c2296f21";

// A few MB that end in a partial block, with their digests from another
// implementation.
std::string patternBytes() {
    std::string bytes(3 * 1024 * 1024 + 123, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>((i * 131 + (i >> 9)) & 0xFF);
    }
    return bytes;
}
const char kPatternSha256[] = "92475b9ab3a1a265610a7048c9109f259ffdf6381824f8cc5923964ccd7208f9";
const char kPatternMd5[] = "956fe4af834a57c1c361c4a7ecdc4b56";

// Piece sizes that cross block boundaries in every way.
const std::vector<std::size_t> kPieces = {1, 63, 64, 65, 0, 127, 3, 200, 1000, 64 * 70 + 5};

std::string sha256Text(CSHA& sha, const std::string& text) {
    char out[65];
    sha.CalculateSHA256(text, false, out);
    return out;
}

std::string md5InPieces(const std::string& text) {
    MD5 md5;
    MD5_CTX context;
    md5.MD5Init(&context);
    std::string copy = text;
    auto* bytes = reinterpret_cast<unsigned char*>(copy.data());
    std::size_t at = 0;
    for (std::size_t i = 0; at < copy.size(); ++i) {
        std::size_t piece = std::min(kPieces[i % kPieces.size()], copy.size() - at);
        md5.MD5Update(&context, bytes + at, static_cast<unsigned int>(piece));
        at += piece;
    }
    unsigned char digest[16];
    md5.MD5Final(digest, &context);
    return md5wrapper().convToString(digest);
}

std::string hex(const char* digest) {
    char out[65];
    CSHA::Binary2Hex(reinterpret_cast<const unsigned char*>(digest), 32, out);
    return out;
}

template <typename Exception, typename Body>
std::string thrownText(Body&& body) {
    try {
        body();
    } catch (Exception text) {
        return text;
    }
    return "nothing thrown";
}

}  // namespace

TEST(Md5Test, DigestTextsAreTheReferenceVectors) {
    md5wrapper md5;
    for (const auto& [message, digest] : kMd5Vectors) {
        EXPECT_EQ(digest, md5.getHashFromString(message)) << message;
        EXPECT_EQ(digest, md5.hashit(message)) << message;
        EXPECT_EQ(digest, md5InPieces(message)) << message;
    }
    EXPECT_EQ(kMillionAMd5, md5InPieces(std::string(1000000, 'a')));
    EXPECT_EQ(kPatternMd5, md5.getHashFromString(patternBytes()));
}

TEST(Md5Test, FilesAreDigestedByNameAndUnreadableOnesGiveMinusOne) {
    ScopedWorkingDirectory cwd;
    writeTextFile("package.xml", patternBytes());
    writeTextFile("empty.xml", "");
    md5wrapper md5;
    EXPECT_EQ(kPatternMd5, md5.getHashFromFile("package.xml"));
    EXPECT_EQ(kMd5Vectors[0].second, md5.getHashFromFile("empty.xml"));
    EXPECT_EQ("-1", md5.getHashFromFile("missing.xml"));
    EXPECT_EQ("-1", md5.getHashFromFile(""));
}

TEST(Md5Test, SystemPathsAreReadWhereTheHostKeepsThem) {
    VirtualServer server;
    ScopedHostPort port(server);
    server.writeFile("/tmp/SECUPD/update.xml", "abc");
    EXPECT_EQ(kMd5Vectors[2].second, md5wrapper().getHashFromFile("/tmp/SECUPD/update.xml"));
    EXPECT_EQ("-1", md5wrapper().getHashFromFile("/tmp/SECUPD/output.xml"));
}

// Every SHA-256 case runs on the portable code and on the CPU's SHA
// instructions, where this CPU has them.
class Sha256Test : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (CSHA::UseCpuInstructions(GetParam()) != GetParam()) {
            GTEST_SKIP() << "no SHA instructions on this CPU";
        }
    }
    void TearDown() override { CSHA::UseCpuInstructions(true); }
};

INSTANTIATE_TEST_SUITE_P(Engines, Sha256Test, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Cpu" : "Portable"; });

TEST_P(Sha256Test, DigestTextsAreTheStandardVectors) {
    CSHA sha;
    for (const auto& [message, digest] : kSha256Vectors) {
        EXPECT_EQ(digest, sha256Text(sha, message)) << message.substr(0, 20);
    }
    EXPECT_EQ(kPatternSha256, sha256Text(sha, patternBytes()));
}

TEST_P(Sha256Test, DataAddedInPiecesGivesTheSameDigest) {
    std::string bytes = patternBytes();
    CSHA sha;
    std::size_t at = 0;
    for (std::size_t i = 0; at < bytes.size(); ++i) {
        std::size_t piece = std::min(kPieces[i % kPieces.size()], bytes.size() - at);
        sha.AddData(bytes.data() + at, static_cast<int>(piece));
        at += piece;
    }
    char digest[32];
    sha.FinalDigest(digest);
    EXPECT_EQ(kPatternSha256, hex(digest));
    // Finishing starts the object afresh.
    EXPECT_EQ(kSha256Vectors[1].second, sha256Text(sha, "abc"));
}

TEST_P(Sha256Test, FilesAreReadInPiecesThroughTheDoubleBuffer) {
    ScopedWorkingDirectory cwd;
    writeTextFile("payload.bin", patternBytes());
    writeTextFile("million.bin", kSha256Vectors[3].first);
    writeTextFile("empty.bin", "");
    CSHA sha;
    sha.AddData("left over", 9);  // the file digest starts from scratch
    char digest[32];
    sha.DigestFile("payload.bin", digest);
    EXPECT_EQ(kPatternSha256, hex(digest));
    char text[65];
    sha.CalculateSHA256("million.bin", true, text);
    EXPECT_EQ(kSha256Vectors[3].second, text);
    sha.CalculateSHA256("empty.bin", true, text);
    EXPECT_EQ(kSha256Vectors[0].second, text);
}

TEST(Sha256MisuseTest, NegativeLengthsAndUnreadableFilesThrowTheirTexts) {
    ScopedWorkingDirectory cwd;
    CSHA sha;
    char digest[32];
    EXPECT_EQ("FileDigest ERROR: in CSHA::AddData(), Data Length should be >= 0!",
              thrownText<std::string>([&] { sha.AddData("x", -1); }));
    EXPECT_EQ("FileDigest ERROR: in IMessageDigest::DigestFile(): Cannot open File missing.bin!",
              thrownText<std::string>([&] { sha.DigestFile("missing.bin", digest); }));
    EXPECT_EQ("FileDigest ERROR: in IMessageDigest::DigestFile(): Cannot open File gone.bin!",
              thrownText<std::string>([&] {
                  char text[65];
                  sha.CalculateSHA256("gone.bin", true, text);
              }));
}

TEST(Sha256MisuseTest, SystemPathsAreReadWhereTheHostKeepsThem) {
    VirtualServer server;
    ScopedHostPort port(server);
    server.writeFile("/tmp/SECUPD/update.xml", "abc");
    char text[65];
    CSHA().CalculateSHA256("/tmp/SECUPD/update.xml", true, text);
    EXPECT_EQ(kSha256Vectors[1].second, text);
}

TEST(HexTextTest, BytesAndDigitsConvertBothWays) {
    char text[9];
    CSHA::Char2Hex(0xAF, text);
    EXPECT_STREQ("af", text);
    const unsigned char bytes[] = {0x00, 0x0A, 0x1B, 0xFF};
    CSHA::Binary2Hex(bytes, 4, text);
    EXPECT_STREQ("000a1bff", text);
    CSHA::Binary2Hex(bytes, 0, text);
    EXPECT_STREQ("", text);

    unsigned char out[2] = {0x55, 0x55};
    EXPECT_TRUE(CSHA::Hex2Binary("0A1B", out, 2));
    EXPECT_EQ(0x0A, out[0]);
    EXPECT_EQ(0x1B, out[1]);
    EXPECT_TRUE(CSHA::Hex2Binary("zz", out, 0));
    unsigned char value = 0;
    EXPECT_TRUE(CSHA::Hex2Char("F9", value));
    EXPECT_EQ(0xF9, value);
    // Lower-case letters, other characters and a text that ends early fail.
    for (const char* bad : {"0a1b", "0A1g", "0A1", "0A 1", "G0AB"}) {
        EXPECT_FALSE(CSHA::Hex2Binary(bad, out, 2)) << bad;
    }
}

class DoubleBufferingTest : public ::testing::Test {
protected:
    void SetUp() override {
        bytes = patternBytes().substr(0, 1000);
        writeTextFile("data.bin", bytes);
        in.open("data.bin", std::ios::binary);
    }

    // Everything handed out, piece by piece, with the piece sizes.
    std::string drain(CDoubleBuffering& reader, const std::vector<int>& lengths,
                      std::vector<int>& counts) {
        std::string out;
        char piece[64];
        for (std::size_t i = 0;; ++i) {
            int count = reader.GetData(piece, lengths[i % lengths.size()]);
            counts.push_back(count);
            if (count == 0) {
                return out;
            }
            out.append(piece, static_cast<std::size_t>(count));
        }
    }

    ScopedWorkingDirectory cwd;
    std::string bytes;
    std::ifstream in;
    char buffer[64];
};

TEST_F(DoubleBufferingTest, PiecesCoverTheFileInOrderAcrossRefillsAndWraps) {
    CDoubleBuffering reader(in, buffer, 64, 24);
    std::vector<int> counts;
    EXPECT_EQ(bytes, drain(reader, {-1}, counts));
    std::vector<int> expected(1000 / 24, 24);
    expected.push_back(1000 % 24);
    expected.push_back(0);
    EXPECT_EQ(expected, counts);
    char piece[32];
    EXPECT_EQ(0, reader.GetData(piece, 32));  // stays at the end
}

TEST_F(DoubleBufferingTest, LengthsMayChangeFromPieceToPiece) {
    CDoubleBuffering reader(in, buffer, 64, 24);
    std::vector<int> counts;
    EXPECT_EQ(bytes, drain(reader, {1, 32, 7, 31, 32, 2}, counts));
}

TEST_F(DoubleBufferingTest, AFileOfWholeHalvesEndsCleanly) {
    in.close();
    writeTextFile("halves.bin", bytes.substr(0, 96));
    std::ifstream halves("halves.bin", std::ios::binary);
    CDoubleBuffering reader(halves, buffer, 64, 32);
    std::vector<int> counts;
    EXPECT_EQ(bytes.substr(0, 96), drain(reader, {-1}, counts));
    EXPECT_EQ((std::vector<int>{32, 32, 32, 0}), counts);
}

TEST_F(DoubleBufferingTest, MisuseThrowsItsTexts) {
    auto construct = [&](std::ifstream& stream, char* data, int size, int piece) {
        return thrownText<const char*>([&] { CDoubleBuffering reader(stream, data, size, piece); });
    };
    EXPECT_EQ("CDoubleBuffering: m_iSize should be Even Number!", construct(in, buffer, 63, 8));
    std::ifstream closed;
    EXPECT_EQ("CDoubleBuffering: Referenced File not Opened or in Bad State!",
              construct(closed, buffer, 64, 8));
    for (int piece : {0, -1, 33}) {
        EXPECT_EQ("CDoubleBuffering: Illegal Construction Data!", construct(in, buffer, 64, piece))
            << piece;
    }
    EXPECT_EQ("CDoubleBuffering: Illegal Construction Data!", construct(in, nullptr, 64, 8));

    CDoubleBuffering reader(in, buffer, 64, 8);
    char piece[64];
    for (int length : {0, -2, 33}) {
        EXPECT_EQ("CDoubleBuffering::GetData(): Illegal iDataLen!",
                  thrownText<const char*>([&] { reader.GetData(piece, length); }))
            << length;
    }
    EXPECT_EQ(32, reader.GetData(piece, 32));
    EXPECT_EQ(bytes.substr(0, 32), std::string(piece, 32));
}
