// KvoString's conversions: UTF-8 and single-byte text in, UTF-16 units in,
// UTF-8, wide and C strings out, and its number reading.
#include <ios>
#include <string>
#include <vector>

#include "baseutils/KvoString.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

void convertOut(const KvoString& text) {
    std::string utf8 = text.GetUTF8String();
    text.GetWstring();
    std::vector<char> buffer(utf8.size() + 2);
    unsigned long room = buffer.size();
    text.GetCString(buffer.data(), room);
    unsigned long tooSmall = utf8.size() / 2;
    text.GetCString(buffer.data(), tooSmall);
    text.GetIntValue();
    text.GetIntValue(std::hex);
    text.GetDoubleValue();
    text.TrimWhiteSpaces(KvoString(" \t"));
    text.IsPermissableFileName();
    std::vector<KvoString> pieces;
    text.SubStrings(KvoString(",;"), pieces);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    convertOut(KvoString(bytes.c_str(), KvoString::KvoEncodingUTF8));
    convertOut(KvoString(bytes.c_str(), KvoString::KvoEncodingSingleByte));
    KvoString::Units units;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        units.push_back(static_cast<unsigned short>(data[i] | data[i + 1] << 8));
    }
    convertOut(KvoString(units));
    return 0;
}
