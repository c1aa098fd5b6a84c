#pragma once

#include <ios>
#include <string>
#include <vector>

#include "baseutils/Export.h"

// Text of the base utilities: UTF-16 code units, converted to UTF-8 and wide
// strings where the text meets the system.
class KVO_EXPORT KvoString : public std::basic_string<unsigned short> {
public:
    using Units = std::basic_string<unsigned short>;

    enum KvoCharEncodingType { KvoEncodingSingleByte = 0, KvoEncodingUTF8 = 1 };

    KvoString();
    KvoString(const char* text, KvoCharEncodingType encoding = KvoEncodingUTF8);
    KvoString(const wchar_t* text);
    KvoString(const Units& units);
    // Keeps the units up to the first zero unit of other.
    KvoString(const KvoString& other);
    // Keeps all units: a text returned by value or stored in a container is
    // not cut, whether or not the compiler elides the copy.
    KvoString(KvoString&& other) noexcept;
    // Keeps all units of other.
    KvoString& operator=(const KvoString& other);
    virtual ~KvoString();

    std::string GetUTF8String() const;
    std::wstring GetWstring() const;
    // 0 on success; 1 when buffer is null, size is 0 or the UTF-8 form and
    // its NUL do not fit size bytes. size receives the UTF-8 length.
    int GetCString(char* buffer, unsigned long& size) const;
    unsigned int GetIntValue(std::ios_base& (*base)(std::ios_base&) = std::dec) const;
    double GetDoubleValue() const;

    int AppendNumber(int value, const KvoString& format);
    int AppendNumber(int value);
    int AppendUNumber(unsigned int value);
    int AppendNumber(long long value, const KvoString& format);
    int AppendNumber(long long value);
    int AppendUNumber(unsigned long long value);

    static size_type GetNPos();
    bool ContainsAny(const KvoString& set, unsigned int start) const;
    bool ContainsSpecialCharacters() const;
    bool IsPermissableFileName() const;
    KvoString SubString(unsigned long position, unsigned long count) const;
    bool SubStrings(const KvoString& delimiters, std::vector<KvoString>& pieces) const;
    KvoString& ReplaceAll(const KvoString& from, const KvoString& to);
    KvoString TrimWhiteSpaces(const KvoString& characters) const;

private:
    void AppendFormatted(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void AppendUTF8(const char* text);
};

// Operators with a pointer operand; inline so that callers of the library
// need nothing but the exported members.
inline bool operator==(const KvoString& left, const wchar_t* right) {
    KvoString other(right);
    return static_cast<const KvoString::Units&>(left) ==
           static_cast<const KvoString::Units&>(other);
}
inline bool operator==(const wchar_t* left, const KvoString& right) {
    return right == left;
}
inline bool operator==(const KvoString& left, const char* right) {
    KvoString other(right, KvoString::KvoEncodingUTF8);
    return static_cast<const KvoString::Units&>(left) ==
           static_cast<const KvoString::Units&>(other);
}
inline bool operator==(const char* left, const KvoString& right) {
    return right == left;
}

inline KvoString operator+(const KvoString& left, const wchar_t* right) {
    KvoString result(static_cast<const KvoString::Units&>(left));
    result.append(KvoString(right));
    return result;
}
inline KvoString operator+(const wchar_t* left, const KvoString& right) {
    KvoString result(left);
    result.append(right);
    return result;
}
inline KvoString operator+(const KvoString& left, const char* right) {
    KvoString result(static_cast<const KvoString::Units&>(left));
    result.append(KvoString(right, KvoString::KvoEncodingUTF8));
    return result;
}
inline KvoString operator+(const char* left, const KvoString& right) {
    KvoString result(left, KvoString::KvoEncodingUTF8);
    result.append(right);
    return result;
}
inline KvoString& operator+=(KvoString& left, const char* right) {
    left.append(KvoString(right, KvoString::KvoEncodingUTF8));
    return left;
}
