#include "baseutils/KvoString.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Units = KvoString::Units;

KvoString utf8(const std::string& text) {
    return KvoString(text.c_str(), KvoString::KvoEncodingUTF8);
}

std::vector<std::string> texts(const std::vector<KvoString>& pieces) {
    std::vector<std::string> out;
    for (const KvoString& piece : pieces) {
        out.push_back(piece.GetUTF8String());
    }
    return out;
}

}  // namespace

TEST(KvoString, ConvertsBetweenUTF8AndUnits) {
    struct Case {
        std::string bytes;
        Units units;
    };
    const std::vector<Case> cases = {
        {"abc", Units{'a', 'b', 'c'}},
        {"\xC3\xA9", Units{0x00E9}},
        {"\xDF\xBF", Units{0x07FF}},
        {"\xE2\x82\xAC", Units{0x20AC}},
        {"\xF0\x9F\x98\x80", Units{0xD83D, 0xDE00}},
        {"\xF4\x8F\xBF\xBF", Units{0xDBFF, 0xDFFF}},
    };
    for (const Case& c : cases) {
        KvoString text = utf8(c.bytes);
        EXPECT_EQ(c.units, static_cast<const Units&>(text)) << c.bytes;
        EXPECT_EQ(c.bytes, text.GetUTF8String()) << c.bytes;
    }
}

TEST(KvoString, WritesUnpairedSurrogatesAsThreeBytes) {
    EXPECT_EQ("\xED\xB0\x80", KvoString(Units{0xDC00}).GetUTF8String());
    EXPECT_EQ(
        "\xED\xA0\xBD"
        "a",
        KvoString(Units{0xD83D, 'a'}).GetUTF8String());
}

TEST(KvoString, DecodesBrokenUTF8IntoReplacementCharacters) {
    struct Case {
        std::string bytes;
        Units units;
    };
    const std::vector<Case> cases = {
        {"a\xF8"
         "b",
         Units{'a', 0xFFFD, 'b'}},
        {"\xFF", Units{0xFFFD}},
        {"a\xC3", Units{'a', 0xFFFD}},
        {"a\xE2\x82", Units{'a', 0xFFFD}},
        {"\xF0\x9F\x98", Units{0xFFFD}},
        // A stray continuation byte is read as a two-byte lead.
        {"\x80\x41", Units{0x0001}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.units, static_cast<const Units&>(utf8(c.bytes))) << c.bytes;
    }
}

TEST(KvoString, DecodingStopsAtTheTerminatingNul) {
    // The bytes after the NUL would complete the sequence; they must not be read.
    const char text[] = {'x', '\xE2', '\0', '\x82', '\xAC', '\0'};
    EXPECT_EQ((Units{'x', 0xFFFD}), static_cast<const Units&>(utf8(text)));
}

TEST(KvoString, OtherConstructors) {
    EXPECT_TRUE(KvoString(static_cast<const char*>(nullptr), KvoString::KvoEncodingUTF8).empty());
    EXPECT_TRUE(KvoString(static_cast<const wchar_t*>(nullptr)).empty());
    EXPECT_TRUE(KvoString("abc", static_cast<KvoString::KvoCharEncodingType>(7)).empty());
    EXPECT_EQ((Units{'a', 0x7F}),
              static_cast<const Units&>(KvoString("a\x7F", KvoString::KvoEncodingSingleByte)));
    EXPECT_EQ((Units{'w', 0x20AC, 0x1234}),
              static_cast<const Units&>(KvoString(L"w\u20AC\U00011234")));
    EXPECT_EQ(std::wstring(L"w\u20AC"), KvoString(L"w\u20AC").GetWstring());
}

TEST(KvoString, CopyStopsAtZeroUnitButAssignmentKeepsAll) {
    KvoString source(Units{'a', 0, 'b'});
    KvoString copied(source);
    KvoString assigned;
    assigned = source;
    EXPECT_EQ(Units{'a'}, static_cast<const Units&>(copied));
    EXPECT_EQ((Units{'a', 0, 'b'}), static_cast<const Units&>(assigned));
}

namespace {

// Two named results: the compiler cannot elide the copy, the text is moved.
KvoString eitherOf(bool first) {
    KvoString a(Units{'a', 0, 'b'});
    KvoString b(Units{'c', 0, 'd'});
    if (first) {
        return a;
    }
    return b;
}

}  // namespace

TEST(KvoString, MovedTextsKeepTheirZeroUnits) {
    EXPECT_EQ((Units{'a', 0, 'b'}), static_cast<const Units&>(eitherOf(true)));
    EXPECT_EQ((Units{'c', 0, 'd'}), static_cast<const Units&>(eitherOf(false)));

    std::vector<KvoString> pieces;
    KvoString(Units{'x', 0, 'y', ',', 'z'}).SubStrings(utf8(","), pieces);
    for (int i = 0; i < 20; ++i) {  // the vector grows and moves its elements
        pieces.push_back(KvoString(Units{'p', 0}));
    }
    EXPECT_EQ((Units{'x', 0, 'y'}), static_cast<const Units&>(pieces[0]));
    EXPECT_EQ((Units{'z'}), static_cast<const Units&>(pieces[1]));
    EXPECT_EQ((Units{'p', 0}), static_cast<const Units&>(pieces.back()));
}

TEST(KvoString, GetCStringWritesOnlyWhenTheTextAndItsNulFit) {
    KvoString text = utf8("\xC3\xA9t\xC3\xA9");  // five bytes
    char buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), 'Z');
    unsigned long size = 5;
    EXPECT_EQ(1, text.GetCString(buffer, size));
    EXPECT_EQ(5ul, size);
    EXPECT_EQ('Z', buffer[0]);

    size = 6;
    EXPECT_EQ(0, text.GetCString(buffer, size));
    EXPECT_EQ(5ul, size);
    EXPECT_STREQ("\xC3\xA9t\xC3\xA9", buffer);
    EXPECT_EQ('Z', buffer[6]);

    size = 0;
    EXPECT_EQ(1, text.GetCString(buffer, size));
    size = 16;
    EXPECT_EQ(1, text.GetCString(nullptr, size));
}

TEST(KvoString, ReadsNumbers) {
    EXPECT_EQ(31u, utf8("1f").GetIntValue(std::hex));
    EXPECT_EQ(0u, utf8("zz").GetIntValue(std::hex));
    EXPECT_EQ(42u, utf8("  42abc").GetIntValue(std::dec));
    EXPECT_EQ(8u, utf8("10").GetIntValue(std::oct));
    EXPECT_EQ(0u, utf8("").GetIntValue(std::dec));
    EXPECT_DOUBLE_EQ(2.5, utf8(" 2.5V").GetDoubleValue());
    EXPECT_DOUBLE_EQ(0.0, utf8("volts").GetDoubleValue());
}

TEST(KvoString, AppendsNumbers) {
    KvoString text = utf8("n=");
    text.AppendNumber(-5);
    text.AppendUNumber(4294967295u);
    text.AppendNumber(9000000000LL);
    text.AppendUNumber(18446744073709551615ULL);
    text.AppendNumber(255, utf8("<%04x>"));
    text.AppendNumber(-1LL, utf8("[%lld]"));
    EXPECT_EQ(
        "n=-5"
        "4294967295"
        "9000000000"
        "18446744073709551615"
        "<00ff>"
        "[-1]",
        text.GetUTF8String());
}

TEST(KvoString, AppendNumberCutsLongOutputInsteadOfOverflowing) {
    KvoString text;
    text.AppendNumber(7, utf8("%0200d"));
    std::string out = text.GetUTF8String();
    EXPECT_LT(out.size(), 200u);
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(std::string::npos, out.find_first_not_of('0', 0));
}

TEST(KvoString, SplitsAtDelimitersWithoutEmptyPieces) {
    std::vector<KvoString> pieces;
    EXPECT_TRUE(utf8("a,,b,").SubStrings(utf8(","), pieces));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), texts(pieces));

    EXPECT_TRUE(utf8(" x;y z ").SubStrings(utf8("; "), pieces));  // appends
    EXPECT_EQ((std::vector<std::string>{"a", "b", "x", "y", "z"}), texts(pieces));

    std::vector<KvoString> none;
    EXPECT_TRUE(KvoString().SubStrings(utf8(","), none));
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(utf8("a,b").SubStrings(KvoString(), none));
}

TEST(KvoString, ReplacesAllOccurrences) {
    struct Case {
        std::string text, from, to, result;
    };
    const std::vector<Case> cases = {
        {"a-b-c", "-", "+", "a+b+c"},
        {"aaab", "ab", "b", "b"},  // occurrences made by a replacement are replaced too
        {"abc", "", "x", "abc"},
        {"abc", "x", "y", "abc"},
        {"x.y", ".", "", "xy"},
        {"aab", "ab", "ba", "baa"},  // as long as from: still searched from the start
        // A longer to is searched again from the start too, as long as the
        // replacing ends.
        {"aaa", "aa", "aba", "ababa"},
        {"aab", "ab", "bxa", "bxaxa"},
        {"aaab", "ab", "bba", "bbbbbbbbaaa"},
        {std::string(15, 'a') + "b", "ab", "bba", std::string(1 << 15, 'b') + std::string(15, 'a')},
        // Where it never ends (a to that contains from, a text that grows
        // without bound) each occurrence is replaced once, left to right.
        {"ab", "ab", "ab", "ab"},
        {"a.b.c", ".", "..", "a..b..c"},
        {"aa", "a", "aa", "aaaa"},
        {"xyz", "a", "aa", "xyz"},
        {"aab", "ab", "bbaa", "abbaa"},
    };
    for (const Case& c : cases) {
        KvoString text = utf8(c.text);
        KvoString& result = text.ReplaceAll(utf8(c.from), utf8(c.to));
        EXPECT_EQ(&text, &result);
        EXPECT_EQ(c.result, text.GetUTF8String()) << c.text << " " << c.from << "->" << c.to;
    }
}

TEST(KvoString, TrimsTheGivenCharacters) {
    KvoString blanks = utf8(" \t");
    KvoString text = utf8("  x y\t");
    EXPECT_EQ("x y", text.TrimWhiteSpaces(blanks).GetUTF8String());
    EXPECT_EQ("  x y\t", text.GetUTF8String());
    EXPECT_TRUE(utf8(" \t ").TrimWhiteSpaces(blanks).empty());
    EXPECT_EQ("\xC3\xA9", utf8("--\xC3\xA9-").TrimWhiteSpaces(utf8("-")).GetUTF8String());
}

TEST(KvoString, SearchesForCharacters) {
    EXPECT_FALSE(utf8("abc").ContainsAny(KvoString(), 0));
    EXPECT_TRUE(utf8("abc").ContainsAny(utf8("xc"), 2));
    EXPECT_FALSE(utf8("abc").ContainsAny(utf8("xa"), 1));
    EXPECT_FALSE(utf8("abc").ContainsAny(utf8("c"), 3));
    EXPECT_TRUE(utf8("a-b").ContainsSpecialCharacters());
    EXPECT_TRUE(utf8("a\\b").ContainsSpecialCharacters());
    EXPECT_FALSE(utf8("plain Text 9").ContainsSpecialCharacters());
    EXPECT_FALSE(utf8("a:b").IsPermissableFileName());
    EXPECT_FALSE(KvoString().IsPermissableFileName());
    EXPECT_FALSE(utf8("50%").IsPermissableFileName());
    EXPECT_TRUE(utf8("report.txt").IsPermissableFileName());
    EXPECT_EQ(KvoString::npos, KvoString::GetNPos());
}

TEST(KvoString, SubString) {
    EXPECT_EQ("bc", utf8("abcd").SubString(1, 2).GetUTF8String());
    EXPECT_EQ("cd", utf8("abcd").SubString(2, 100).GetUTF8String());
    EXPECT_TRUE(KvoString().SubString(5, 1).empty());
    EXPECT_THROW(utf8("ab").SubString(3, 1), std::out_of_range);
}

TEST(KvoString, OperatorsWithPointers) {
    KvoString text = utf8("\xC3\xA9t\xC3\xA9");
    EXPECT_TRUE(text == "\xC3\xA9t\xC3\xA9");
    EXPECT_TRUE("\xC3\xA9t\xC3\xA9" == text);
    EXPECT_TRUE(text == L"\u00E9t\u00E9");
    EXPECT_TRUE(L"\u00E9t\u00E9" == text);
    EXPECT_FALSE(text == "\xC3\xA9t");
    EXPECT_EQ("ab\xC3\xA9", (utf8("ab") + "\xC3\xA9").GetUTF8String());
    EXPECT_EQ(
        "\xC3\xA9"
        "ab",
        ("\xC3\xA9" + utf8("ab")).GetUTF8String());
    EXPECT_EQ("abw", (utf8("ab") + L"w").GetUTF8String());
    EXPECT_EQ("wab", (L"w" + utf8("ab")).GetUTF8String());
    KvoString grown = utf8("a");
    (grown += "b") += "c";
    EXPECT_EQ("abc", grown.GetUTF8String());
}
