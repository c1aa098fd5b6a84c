#include "baseutils/KvoString.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <utility>

namespace {

constexpr unsigned short kReplacement = 0xFFFD;

// Number texts of the system are at most 20 characters; longer output is cut.
constexpr std::size_t kNumberBufferSize = 64;

const char kFileNameCharacters[] = "\\/:?%*<\">|";
const char kSpecialCharacters[] = "~`!@#$%^&*()_+{}:\"<>?/.,';][=-|\\";

unsigned int continuation(unsigned char byte) {
    return byte & 0x3Fu;
}

void appendCodePoint(KvoString::Units& units, unsigned int codePoint) {
    if (codePoint < 0x10000) {
        units.push_back(static_cast<unsigned short>(codePoint));
        return;
    }
    if (codePoint > 0x10FFFF) {
        units.push_back(kReplacement);
        return;
    }
    unsigned int plane = codePoint >> 16;
    units.push_back(
        static_cast<unsigned short>(0xD800u | ((plane - 1) << 6) | ((codePoint >> 10) & 0x3Fu)));
    units.push_back(static_cast<unsigned short>(0xDC00u | (codePoint & 0x3FFu)));
}

// Decodes length bytes; never reads past them. Invalid lead bytes and
// sequences cut short by the end become U+FFFD.
KvoString::Units decodeUTF8(const char* text, std::size_t length) {
    KvoString::Units units;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t i = 0;
    while (i < length) {
        unsigned int lead = bytes[i];
        std::size_t left = length - i - 1;
        if (lead < 0x80) {
            units.push_back(static_cast<unsigned short>(lead));
            i += 1;
        } else if (lead <= 0xDF && left >= 1) {
            units.push_back(
                static_cast<unsigned short>((lead & 0x1Fu) << 6 | continuation(bytes[i + 1])));
            i += 2;
        } else if (lead >= 0xE0 && lead <= 0xEF && left >= 2) {
            units.push_back(static_cast<unsigned short>((lead & 0x0Fu) << 12 |
                                                        continuation(bytes[i + 1]) << 6 |
                                                        continuation(bytes[i + 2])));
            i += 3;
        } else if (lead >= 0xF0 && lead <= 0xF7 && left >= 3) {
            appendCodePoint(units, (lead & 0x07u) << 18 | continuation(bytes[i + 1]) << 12 |
                                       continuation(bytes[i + 2]) << 6 |
                                       continuation(bytes[i + 3]));
            i += 4;
        } else if (lead >= 0xF8) {
            units.push_back(kReplacement);
            i += 1;
        } else {
            // A valid lead whose sequence the end of the text cuts short.
            units.push_back(kReplacement);
            i = length;
        }
    }
    return units;
}

void appendUTF8(std::string& out, unsigned int unit) {
    if (unit < 0x80) {
        out.push_back(static_cast<char>(unit));
    } else if (unit <= 0x7FF) {
        out.push_back(static_cast<char>(0xC0u | (unit >> 6)));
        out.push_back(static_cast<char>(0x80u | (unit & 0x3Fu)));
    } else {
        out.push_back(static_cast<char>(0xE0u | (unit >> 12)));
        out.push_back(static_cast<char>(0x80u | ((unit >> 6) & 0x3Fu)));
        out.push_back(static_cast<char>(0x80u | (unit & 0x3Fu)));
    }
}

void appendUTF8CodePoint(std::string& out, unsigned int codePoint) {
    out.push_back(static_cast<char>(0xF0u | (codePoint >> 18)));
    out.push_back(static_cast<char>(0x80u | ((codePoint >> 12) & 0x3Fu)));
    out.push_back(static_cast<char>(0x80u | ((codePoint >> 6) & 0x3Fu)));
    out.push_back(static_cast<char>(0x80u | (codePoint & 0x3Fu)));
}

bool isHighSurrogate(unsigned int unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLowSurrogate(unsigned int unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Whether a rule of one replacement ends cannot be told in general: ab -> bba on n a's and a b
// ends, but only after 2^n - 1 replacements. So a text that grows by more than this many units
// is taken as one that never ends; an ending case would by then hold half a megabyte, and the
// names, keys and messages this class carries are a few hundred units long.
constexpr std::size_t kReplaceGrowthLimit = std::size_t{1} << 18;

// Replaces the first occurrence of from again and again, each search from
// the beginning, until none is left. The part already read never holds an
// occurrence, so the next one is the first completed by reading on unit by
// unit; its replacement is read again, so that occurrences it makes are
// found too. False, leaving text as it was, when the text grows past the
// limit.
bool ReplaceLeftmostUntilNoneLeft(KvoString::Units& text, const KvoString::Units& from,
                                  const KvoString::Units& to) {
    KvoString::Units done;
    KvoString::Units unread(text.rbegin(), text.rend());  // next unit at the back
    const std::size_t limit = text.size() + kReplaceGrowthLimit;
    while (!unread.empty()) {
        done.push_back(unread.back());
        unread.pop_back();
        if (done.size() < from.size() || done.back() != from.back() ||
            done.compare(done.size() - from.size(), from.size(), from) != 0) {
            continue;
        }
        done.resize(done.size() - from.size());
        unread.append(to.rbegin(), to.rend());
        if (done.size() + unread.size() > limit) {
            return false;
        }
    }
    text = std::move(done);
    return true;
}

}  // namespace

KvoString::KvoString() = default;

KvoString::KvoString(const char* text, KvoCharEncodingType encoding) {
    if (!text) {
        return;
    }
    if (encoding == KvoEncodingUTF8) {
        Units::operator=(decodeUTF8(text, std::strlen(text)));
        return;
    }
    if (encoding == KvoEncodingSingleByte) {
        for (const char* p = text; *p; ++p) {
            push_back(static_cast<unsigned char>(*p));
        }
    }
}

KvoString::KvoString(const wchar_t* text) {
    if (!text) {
        return;
    }
    for (const wchar_t* p = text; *p; ++p) {
        push_back(static_cast<unsigned short>(static_cast<unsigned int>(*p) & 0xFFFFu));
    }
}

KvoString::KvoString(const Units& units) : Units(units) {}

KvoString::KvoString(const KvoString& other)
    : Units(other, 0, other.find(static_cast<unsigned short>(0))) {}

KvoString::KvoString(KvoString&& other) noexcept : Units(std::move(other)) {}

KvoString& KvoString::operator=(const KvoString& other) {
    Units::operator=(other);
    return *this;
}

KvoString::~KvoString() = default;

std::string KvoString::GetUTF8String() const {
    std::string out;
    out.reserve(size());
    for (size_type i = 0; i < size(); ++i) {
        unsigned int unit = (*this)[i];
        if (isHighSurrogate(unit) && i + 1 < size() && isLowSurrogate((*this)[i + 1])) {
            unsigned int low = (*this)[i + 1];
            appendUTF8CodePoint(out, 0x10000u + ((unit - 0xD800u) << 10) + (low - 0xDC00u));
            ++i;
            continue;
        }
        appendUTF8(out, unit);
    }
    return out;
}

std::wstring KvoString::GetWstring() const {
    std::wstring out;
    out.reserve(size());
    for (unsigned short unit : *this) {
        out.push_back(static_cast<wchar_t>(unit));
    }
    return out;
}

int KvoString::GetCString(char* buffer, unsigned long& size) const {
    if (!buffer || size == 0) {
        return 1;
    }
    std::string text = GetUTF8String();
    if (text.size() + 1 > size) {
        return 1;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    size = text.size();
    return 0;
}

unsigned int KvoString::GetIntValue(std::ios_base& (*base)(std::ios_base&)) const {
    std::wistringstream stream(GetWstring());
    unsigned int value = 0;
    stream >> base >> value;
    return stream.fail() ? 0 : value;
}

double KvoString::GetDoubleValue() const {
    std::wistringstream stream(GetWstring());
    double value = 0.0;
    stream >> value;
    return stream.fail() ? 0.0 : value;
}

void KvoString::AppendUTF8(const char* text) {
    append(KvoString(text, KvoEncodingUTF8));
}

void KvoString::AppendFormatted(const char* format, ...) {
    char buffer[kNumberBufferSize] = {};
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(buffer, sizeof(buffer), format, arguments);
    va_end(arguments);
    AppendUTF8(buffer);
}

int KvoString::AppendNumber(int value, const KvoString& format) {
    std::string text = format.GetUTF8String();
    AppendFormatted(text.c_str(), value);
    return 0;
}

int KvoString::AppendNumber(int value) {
    AppendFormatted("%d", value);
    return 0;
}

int KvoString::AppendUNumber(unsigned int value) {
    AppendFormatted("%u", value);
    return 0;
}

int KvoString::AppendNumber(long long value, const KvoString& format) {
    std::string text = format.GetUTF8String();
    AppendFormatted(text.c_str(), value);
    return 0;
}

int KvoString::AppendNumber(long long value) {
    AppendFormatted("%lld", value);
    return 0;
}

int KvoString::AppendUNumber(unsigned long long value) {
    AppendFormatted("%llu", value);
    return 0;
}

KvoString::size_type KvoString::GetNPos() {
    return npos;
}

bool KvoString::ContainsAny(const KvoString& set, unsigned int start) const {
    if (set.empty() || start >= size()) {
        return false;
    }
    return find_first_of(set, start) != npos;
}

bool KvoString::ContainsSpecialCharacters() const {
    return ContainsAny(KvoString(kSpecialCharacters, KvoEncodingUTF8), 0);
}

bool KvoString::IsPermissableFileName() const {
    if (empty()) {
        return false;
    }
    return !ContainsAny(KvoString(kFileNameCharacters, KvoEncodingUTF8), 0);
}

KvoString KvoString::SubString(unsigned long position, unsigned long count) const {
    if (empty()) {
        return KvoString();
    }
    return KvoString(substr(position, count));
}

bool KvoString::SubStrings(const KvoString& delimiters, std::vector<KvoString>& pieces) const {
    if (delimiters.empty()) {
        return false;
    }
    size_type start = 0;
    while (start < size()) {
        size_type end = find_first_of(delimiters, start);
        if (end == npos) {
            end = size();
        }
        if (end > start) {
            pieces.push_back(KvoString(substr(start, end - start)));
        }
        start = end + 1;
    }
    return true;
}

KvoString& KvoString::ReplaceAll(const KvoString& from, const KvoString& to) {
    if (from.empty()) {
        return *this;
    }
    // A to that contains from leaves an occurrence after every replacement.
    if (to.find(from) == npos && ReplaceLeftmostUntilNoneLeft(*this, from, to)) {
        return *this;
    }
    // The rule never ends here: replace the occurrences of the text as it
    // stands, going on behind each replacement.
    for (size_type position = find(from); position != npos;
         position = find(from, position + to.size())) {
        replace(position, from.size(), to);
    }
    return *this;
}

KvoString KvoString::TrimWhiteSpaces(const KvoString& characters) const {
    std::string text = GetUTF8String();
    std::string set = characters.GetUTF8String();
    std::string::size_type first = text.find_first_not_of(set);
    if (first == std::string::npos) {
        return KvoString();
    }
    std::string::size_type last = text.find_last_not_of(set);
    return KvoString(decodeUTF8(text.data() + first, last - first + 1));
}
