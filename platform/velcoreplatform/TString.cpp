#include "velcoreplatform/TString.h"

#include <QStringList>
#include <ostream>

#include "velsys/Hash.h"

namespace {
constexpr unsigned int kTStringHashSeed = 0xDEADBEEF;
}

TString TString::fromStdString(const std::string& utf8) {
    return TString(QString::fromUtf8(utf8.data(), int(utf8.size())));
}

TString TString::fromLocal8Bit(const char* text, int size) {
    return TString(QString::fromLocal8Bit(text, size));
}

TString TString::fromUtf16(const char16_t* units, int count) {
    return TString(QString::fromUtf16(units, count));
}

TString TString::number(long long value, int base) {
    return TString(QString::number(value, base));
}

TString TString::number(unsigned long long value, int base) {
    return TString(QString::number(value, base));
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
    return m_s.toStdString();
}

std::size_t HashTString(const TString& s) {
    return THash32(s.constData(), s.lengthInBytes(), kTStringHashSeed);
}

std::ostream& operator<<(std::ostream& os, const TString& s) {
    return os << s.toStdString();
}
