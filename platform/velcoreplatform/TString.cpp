#include "velcoreplatform/TString.h"

#include <QStringList>
#include <charconv>
#include <cstring>
#include <ostream>
#include <string>

#include "velsys/Hash.h"

namespace {
constexpr unsigned int kTStringHashSeed = 0xDEADBEEF;
}

namespace {

// Generalized UTF-8: standard UTF-8 for every code point, and a lone surrogate code unit (one
// not part of a high/low pair) in the three-byte form its value would have (ED A0 80 to
// ED BF BF). Every UTF-16 string therefore has its own byte form and reads back unchanged;
// the narrow form of a string without lone surrogates is plain UTF-8.
// The length of the leading run of ASCII code units (or bytes).
template <class Unit>
std::size_t AsciiPrefix(const Unit* units, std::size_t count) {
    std::size_t n = 0;
    while (n < count && (units[n] & ~Unit(0x7F)) == 0) ++n;
    return n;
}

std::string EncodeGeneralizedUtf8(const char16_t* units, std::size_t count) {
    // Most texts (keys, hashes, names) are ASCII: those are copied unit by unit into a string of
    // the final size, without a capacity check per character.
    const std::size_t ascii = AsciiPrefix(units, count);
    std::string out(ascii, '\0');
    for (std::size_t i = 0; i < ascii; ++i) out[i] = char(units[i]);
    if (ascii == count) return out;
    out.reserve(ascii + (count - ascii) * 3);
    for (std::size_t i = ascii; i < count; ++i) {
        char32_t c = units[i];
        if (c < 0x80) {
            out.push_back(char(c));
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(units[++i]) - 0xDC00);
        }
        if (c < 0x800) {
            out.push_back(char(0xC0 | (c >> 6)));
        } else if (c < 0x10000) {
            out.push_back(char(0xE0 | (c >> 12)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (c >> 18)));
            out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        }
        out.push_back(char(0x80 | (c & 0x3F)));
    }
    return out;
}

// The inverse of EncodeGeneralizedUtf8. A byte that starts no well-formed sequence (overlong
// forms and values above U+10FFFF included) becomes U+FFFD, as in plain UTF-8 decoding.
QString DecodeGeneralizedUtf8(const char* data, std::size_t size) {
    const auto* s = reinterpret_cast<const unsigned char*>(data);
    const std::size_t ascii = AsciiPrefix(s, size);
    if (ascii == size) return QString::fromLatin1(data, int(size));  // ASCII reads as Latin-1
    QString out = QString::fromLatin1(data, int(ascii));
    out.reserve(int(size));
    const auto continuation = [&](std::size_t at) { return at < size && (s[at] & 0xC0) == 0x80; };
    for (std::size_t i = ascii; i < size;) {
        const unsigned char b = s[i];
        char32_t c = 0xFFFD;
        std::size_t length = 1;
        if (b < 0x80) {
            c = b;
        } else if (b >= 0xC2 && b < 0xE0 && continuation(i + 1)) {
            c = char32_t(b & 0x1F) << 6 | (s[i + 1] & 0x3F);
            length = 2;
        } else if (b >= 0xE0 && b < 0xF0 && continuation(i + 1) && continuation(i + 2)) {
            const char32_t v =
                char32_t(b & 0x0F) << 12 | char32_t(s[i + 1] & 0x3F) << 6 | (s[i + 2] & 0x3F);
            if (v >= 0x800) c = v, length = 3;
        } else if (b >= 0xF0 && b < 0xF5 && continuation(i + 1) && continuation(i + 2) &&
                   continuation(i + 3)) {
            const char32_t v = char32_t(b & 0x07) << 18 | char32_t(s[i + 1] & 0x3F) << 12 |
                               char32_t(s[i + 2] & 0x3F) << 6 | (s[i + 3] & 0x3F);
            if (v >= 0x10000 && v <= 0x10FFFF) c = v, length = 4;
        }
        if (c >= 0x10000) {
            out.append(QChar(char16_t(0xD800 + ((c - 0x10000) >> 10))));
            out.append(QChar(char16_t(0xDC00 + ((c - 0x10000) & 0x3FF))));
        } else {
            out.append(QChar(char16_t(c)));
        }
        i += length;
    }
    return out;
}

}  // namespace

TString::TString(const char* utf8)
    : m_s(utf8 ? DecodeGeneralizedUtf8(utf8, std::strlen(utf8)) : QString()) {}

TString TString::fromStdString(const std::string& utf8) {
    return TString(DecodeGeneralizedUtf8(utf8.data(), utf8.size()));
}

TString TString::fromLocal8Bit(const char* text, int size) {
    return TString(QString::fromLocal8Bit(text, size));
}

// Not QString::fromUtf16, which takes a leading U+FEFF or U+FFFE for a byte-order mark: it
// drops the one and swaps the bytes of every unit after the other, so two keys could read as
// one.
TString::TString(const char16_t* utf16)
    : m_s(utf16 ? QString(reinterpret_cast<const QChar*>(utf16),
                          int(std::char_traits<char16_t>::length(utf16)))
                : QString()) {}

TString TString::fromUtf16(const char16_t* units, int count) {
    return TString(QString(reinterpret_cast<const QChar*>(units), count));
}

namespace {
// Decimal digits written by to_chars and read as Latin-1: the same text QString::number gives,
// without its general formatting machinery. Other bases stay with QString::number, which
// writes a negative value in them as its two's complement.
template <class Integer>
TString FormatInteger(Integer value, int base) {
    if (base != 10) return TString(QString::number(value, base));
    char text[72];
    const auto end = std::to_chars(text, text + sizeof text, value, base);
    return TString(QString::fromLatin1(text, int(end.ptr - text)));
}
}  // namespace

TString TString::number(long long value, int base) {
    return FormatInteger(value, base);
}

TString TString::number(unsigned long long value, int base) {
    return FormatInteger(value, base);
}

TString TString::number(double value) {
    return TString(QString::number(value, 'g', 17));
}

TString TString::pointer(const void* p) {
    return TString(QStringLiteral("0x") + QString::number(reinterpret_cast<quintptr>(p), 16));
}

unsigned long long TString::toULongLong(bool* ok, int base) const {
    // QString accepts surrounding blanks and a leading '+'; a strict reading refuses them.
    if (m_s.isEmpty() || m_s.front().isSpace() || m_s.back().isSpace() || m_s.front() == '+' ||
        m_s.front() == '-') {
        if (ok) *ok = false;
        return 0;
    }
    return m_s.toULongLong(ok, base);
}

long long TString::toLongLong(bool* ok, int base) const {
    if (m_s.isEmpty() || m_s.front().isSpace() || m_s.back().isSpace()) {
        if (ok) *ok = false;
        return 0;
    }
    return m_s.toLongLong(ok, base);
}

std::vector<TString> TString::split(const TString& separator) const {
    std::vector<TString> pieces;
    if (separator.isEmpty()) {
        pieces.push_back(*this);
        return pieces;
    }
    const QStringList parts = m_s.split(separator.m_s, Qt::KeepEmptyParts, Qt::CaseSensitive);
    pieces.reserve(std::size_t(parts.size()));
    for (const QString& part : parts) pieces.emplace_back(part);
    return pieces;
}

std::string TString::toStdString() const {
    return EncodeGeneralizedUtf8(constData(), std::size_t(m_s.size()));
}

std::size_t velmora::HashTString(const TString& s) {
    return THash32(s.constData(), s.lengthInBytes(), kTStringHashSeed);
}

std::ostream& operator<<(std::ostream& os, const TString& s) {
    return os << s.toStdString();
}
