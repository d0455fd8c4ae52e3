// TString: the foundation's UTF-16 string, a thin value class over QString.
//
// It offers what the library calls: number conversion in a given base, splitting that keeps
// empty pieces, conversion from and to std::string and the local 8-bit encoding,
// pointer text, and access to the UTF-16 code units as bytes. std::hash<TString> is THash32
// of those bytes with seed 0xDEADBEEF; hash maps keyed by TString rely on it.
// Thread contract: const methods are safe for concurrent use; anything else needs external
// synchronization (QString's implicit sharing makes copies cheap and independent).
#pragma once

#include <QString>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "velsys/Export.h"

class VELPLATFORM_EXPORT TString {
public:
    TString() = default;
    // Narrow text is generalized UTF-8 both ways: plain UTF-8, except that a lone surrogate
    // code unit is written in the three-byte form of its value (ED A0 80 to ED BF BF). Every
    // string thus has a narrow form of its own that reads back unchanged (keys stored under it
    // never meet another key's); bytes that form no sequence read as U+FFFD.
    TString(const char* utf8);
    // UTF-16 code units are kept as they are: a leading U+FEFF or U+FFFE is text, not a
    // byte-order mark.
    TString(const char16_t* utf16);
    explicit TString(const QString& s) : m_s(s) {}

    static TString fromStdString(const std::string& utf8);
    static TString fromLocal8Bit(const char* text, int size = -1);
    static TString fromUtf16(const char16_t* units, int count);
    // Decimal or other-base text of an integer: no sign for unsigned values, no padding, lower
    // case digits above 9 ("ff" for 255 in base 16).
    static TString number(long long value, int base = 10);
    static TString number(unsigned long long value, int base = 10);
    static TString number(long value, int base = 10) { return number((long long)value, base); }
    static TString number(unsigned long value, int base = 10) {
        return number((unsigned long long)value, base);
    }
    static TString number(int value, int base = 10) { return number((long long)value, base); }
    static TString number(unsigned int value, int base = 10) {
        return number((unsigned long long)value, base);
    }
    // A floating-point number as the shortest text that reads back as the same value.
    static TString number(double value);
    // The address as "0x" followed by lower-case hex digits.
    static TString pointer(const void* p);

    // Parses the whole string as an unsigned number in `base` (0: C-style prefix decides).
    // On failure returns 0 and sets *ok to false; ok may be null.
    unsigned long long toULongLong(bool* ok = nullptr, int base = 10) const;
    long long toLongLong(bool* ok = nullptr, int base = 10) const;

    // Splits at every occurrence of `separator`; empty pieces are kept, so "a||b" gives
    // "a", "", "b" and the empty string gives one empty piece.
    std::vector<TString> split(const TString& separator) const;

    std::string toStdString() const;
    const QString& toQString() const { return m_s; }

    // The UTF-16 code units, and their size in bytes.
    const char16_t* constData() const { return reinterpret_cast<const char16_t*>(m_s.utf16()); }
    std::size_t lengthInBytes() const { return std::size_t(m_s.size()) * sizeof(char16_t); }
    int length() const { return m_s.size(); }
    bool isEmpty() const { return m_s.isEmpty(); }

    bool startsWith(const TString& prefix) const { return m_s.startsWith(prefix.m_s); }
    bool endsWith(const TString& suffix) const { return m_s.endsWith(suffix.m_s); }
    bool contains(const TString& part) const { return m_s.contains(part.m_s); }
    TString mid(int position, int n = -1) const { return TString(m_s.mid(position, n)); }
    TString& append(const TString& other) {
        m_s.append(other.m_s);
        return *this;
    }
    TString& operator+=(const TString& other) { return append(other); }
    friend TString operator+(const TString& a, const TString& b) { return TString(a.m_s + b.m_s); }

    friend bool operator==(const TString& a, const TString& b) { return a.m_s == b.m_s; }
    friend bool operator<(const TString& a, const TString& b) { return a.m_s < b.m_s; }

private:
    QString m_s;
};

namespace velmora {
// Hash used by every map keyed by TString.
VELPLATFORM_EXPORT std::size_t HashTString(const TString& s);
}  // namespace velmora

template <>
struct std::hash<TString> {
    std::size_t operator()(const TString& s) const { return velmora::HashTString(s); }
};

// Prints a TString (UTF-8) in test failure messages and diagnostics.
VELPLATFORM_EXPORT std::ostream& operator<<(std::ostream& os, const TString& s);
