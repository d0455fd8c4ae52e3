// TFormatString: a message pattern with numbered placeholders %1, %2, ... filled in one pass.
//
// Placeholders may appear in any order and more than once; text substituted for one is never
// scanned again, so an argument that itself contains "%1" stays as it is. A placeholder without
// an argument is left in the text. Integers are written in decimal, strings as they are,
// pointers should be passed as TString::pointer(p).
// Thread contract: not thread-safe: use from one thread at a time.
#pragma once

#include <string>
#include <type_traits>
#include <vector>

#include "velcoreplatform/TString.h"
#include "velsys/Export.h"

class VELPLATFORM_EXPORT TFormatString {
public:
    template <class... Args>
    explicit TFormatString(const TString& pattern, const Args&... args) : m_pattern(pattern) {
        m_args.reserve(sizeof...(Args));
        (m_args.push_back(ToText(args)), ...);
    }

    // The pattern with every placeholder that has an argument replaced.
    TString ToString() const;
    operator TString() const { return ToString(); }

private:
    static TString ToText(const TString& s) { return s; }
    static TString ToText(const char* s) { return TString(s); }
    static TString ToText(const std::string& s) { return TString::fromStdString(s); }
    static TString ToText(bool b) { return TString(b ? "true" : "false"); }
    template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
    static TString ToText(T value) {
        if constexpr (std::is_signed_v<T>)
            return TString::number(static_cast<long long>(value));
        else
            return TString::number(static_cast<unsigned long long>(value));
    }
    static TString ToText(double value) { return TString::number(value); }

    TString m_pattern;
    std::vector<TString> m_args;
};
