// Fuzz target: TString's conversions (velcoreplatform/TString.h). The first byte chooses:
//  0: bytes read as narrow text: the string's own narrow form reads back as the same string,
//     and where the bytes are plain UTF-8 they read as Qt reads UTF-8 and are that narrow form;
//  1: UTF-16 code units (lone surrogates included): the narrow form reads back unchanged, and
//     is Qt's UTF-8 when there is no lone surrogate;
//  2: bytes in the local 8-bit encoding: the result survives the narrow round trip;
//  3: numbers in every base written and read back, and the strict reading of arbitrary text;
//  4: splitting: the pieces joined by the separator give the text back.
// The local 8-bit and UTF-8 codecs and the number parsing are Qt's: inputs are capped at 4 KiB.
#include <fuzzer/FuzzedDataProvider.h>

#include <QString>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "velcoreplatform/TString.h"

namespace {

bool HasLoneSurrogate(const std::u16string& units) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

void Narrow(const std::string& bytes) {
    const TString text = TString::fromStdString(bytes);
    const std::string narrow = text.toStdString();
    VELFUZZ_CHECK(TString::fromStdString(narrow) == text);
    VELFUZZ_CHECK(text.length() <= static_cast<int>(bytes.size()));
    const QString qt = QString::fromUtf8(bytes.data(), static_cast<int>(bytes.size()));
    if (qt.toUtf8() == QByteArray(bytes.data(), static_cast<int>(bytes.size()))) {
        // Plain UTF-8 (Qt refuses encoded surrogates): read alike, written back byte for byte.
        VELFUZZ_CHECK(text.toQString() == qt);
        VELFUZZ_CHECK(narrow == bytes);
    }
    // The constructor from a C string reads up to the first NUL the same way.
    VELFUZZ_CHECK(TString(bytes.c_str()) ==
                  TString::fromStdString(bytes.substr(0, bytes.find('\0'))));
}

void Wide(const std::u16string& units) {
    const TString text = TString::fromUtf16(units.data(), static_cast<int>(units.size()));
    VELFUZZ_CHECK(text.length() == static_cast<int>(units.size()));
    VELFUZZ_CHECK(std::equal(units.begin(), units.end(), text.constData()));
    const std::string narrow = text.toStdString();
    VELFUZZ_CHECK(TString::fromStdString(narrow) == text);
    if (!HasLoneSurrogate(units)) VELFUZZ_CHECK(narrow == text.toQString().toUtf8().toStdString());
}

void Local(const std::string& bytes) {
    const TString text = TString::fromLocal8Bit(bytes.data(), static_cast<int>(bytes.size()));
    VELFUZZ_CHECK(TString::fromStdString(text.toStdString()) == text);
}

void Numbers(FuzzedDataProvider& in) {
    const unsigned long long u = in.ConsumeIntegral<unsigned long long>();
    const long long s = in.ConsumeIntegral<long long>();
    const int base = in.ConsumeIntegralInRange(2, 36);
    bool ok = false;
    VELFUZZ_CHECK(TString::number(u, base).toULongLong(&ok, base) == u && ok);
    VELFUZZ_CHECK(TString::number(s).toLongLong(&ok) == s && ok);
    VELFUZZ_CHECK(TString::number(u).toStdString() == std::to_string(u));
    VELFUZZ_CHECK(TString::number(s).toStdString() == std::to_string(s));
    const TString hex = TString::number(u, 16);
    VELFUZZ_CHECK(hex.toStdString().find_first_not_of("0123456789abcdef") == std::string::npos);

    const std::string raw = in.ConsumeRemainingBytesAsString();
    const TString text = TString::fromStdString(raw);
    const unsigned long long read = text.toULongLong(&ok, base);
    if (!ok) VELFUZZ_CHECK(read == 0);
    if (raw.empty() || raw[0] == '+' || raw[0] == '-' || raw[0] == ' ' || raw.back() == ' ')
        VELFUZZ_CHECK(!ok);
    (void)text.toLongLong(&ok, base);
}

void Split(FuzzedDataProvider& in) {
    const TString separator = TString::fromStdString(in.ConsumeRandomLengthString(4));
    const TString text = TString::fromStdString(in.ConsumeRemainingBytesAsString());
    const std::vector<TString> pieces = text.split(separator);
    VELFUZZ_CHECK(!pieces.empty());
    TString joined = pieces[0];
    for (std::size_t i = 1; i < pieces.size(); ++i) joined += separator + pieces[i];
    VELFUZZ_CHECK(joined == text);
    for (const TString& piece : pieces)
        VELFUZZ_CHECK(separator.isEmpty() || !piece.contains(separator));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 4096) return -1;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    FuzzedDataProvider in(data + 1, size - 1);
    switch (data[0] % 5) {
        case 0:
            Narrow(rest);
            break;
        case 1: {
            std::u16string units(rest.size() / 2, u'\0');
            for (std::size_t i = 0; i < units.size(); ++i)
                units[i] = static_cast<char16_t>(static_cast<unsigned char>(rest[2 * i]) |
                                                 static_cast<unsigned char>(rest[2 * i + 1]) << 8);
            Wide(units);
            break;
        }
        case 2:
            Local(rest);
            break;
        case 3:
            Numbers(in);
            break;
        default:
            Split(in);
            break;
    }
    return 0;
}
