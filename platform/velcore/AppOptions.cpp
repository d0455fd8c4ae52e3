#include "velcore/AppOptions.h"

#include <array>
#include <atomic>

#include "velsys/Exceptions.h"

namespace velmora::appoptions {
namespace {

// Accessors read one atomic each: options are read on hot paths (every log-level decision).
enum OptionId : int {
#define VELMORA_OPTION_ID(name, type, def) Id_##name,
    VELMORA_APP_OPTIONS(VELMORA_OPTION_ID)
#undef VELMORA_OPTION_ID
        OptionCount
};

struct OptionInfo {
    const char* name;
    bool isBool;
    int defaultValue;
};

constexpr std::array<OptionInfo, OptionCount> kOptions{{
#define VELMORA_OPTION_INFO(name, type, def) {#name, std::is_same_v<type, bool>, int(def)},
    VELMORA_APP_OPTIONS(VELMORA_OPTION_INFO)
#undef VELMORA_OPTION_INFO
}};

// Inlined into every accessor, which then reads one atomic.
[[gnu::always_inline]] inline std::array<std::atomic<int>, OptionCount>& Values() {
    static auto* values = [] {
        auto* v = new std::array<std::atomic<int>, OptionCount>();  // Lives until exit.
        for (int i = 0; i < OptionCount; ++i)
            (*v)[std::size_t(i)] = kOptions[std::size_t(i)].defaultValue;
        return v;
    }();
    return *values;
}

int Find(const TString& name) {
    const std::string text = name.toStdString();
    for (int i = 0; i < OptionCount; ++i)
        if (text == kOptions[std::size_t(i)].name) return i;
    throw VelmoraException("Unknown application option: " + text);
}

OptionValue ValueOf(int id) {
    const int raw = Values()[std::size_t(id)].load();
    if (kOptions[std::size_t(id)].isBool) return OptionValue(raw != 0);
    return OptionValue(raw);
}

OptionValue Exchange(const TString& name, OptionValue value) {
    const int id = Find(name);
    const bool isBool = kOptions[std::size_t(id)].isBool;
    if (isBool != std::holds_alternative<bool>(value))
        throw VelmoraException("Application option " + name.toStdString() +
                               " set with a value of the wrong type");
    const int raw = isBool ? int(std::get<bool>(value)) : std::get<int>(value);
    const int old = Values()[std::size_t(id)].exchange(raw);
    return isBool ? OptionValue(old != 0) : OptionValue(old);
}

}  // namespace

#define VELMORA_DEFINE_OPTION(name, type, def)                            \
    type name() {                                                         \
        return type(Values()[Id_##name].load(std::memory_order_relaxed)); \
    }
VELMORA_APP_OPTIONS(VELMORA_DEFINE_OPTION)
#undef VELMORA_DEFINE_OPTION

void Set(const TString& name, OptionValue value) {
    Exchange(name, value);
}
OptionValue Get(const TString& name) {
    return ValueOf(Find(name));
}

void ResetAll() {
    for (int i = 0; i < OptionCount; ++i)
        Values()[std::size_t(i)].store(kOptions[std::size_t(i)].defaultValue);
}

ScopedOverride::ScopedOverride(const TString& name, OptionValue value)
    : m_name(name), m_previous(Exchange(name, value)) {}

ScopedOverride::~ScopedOverride() {
    Exchange(m_name, m_previous);
}

}  // namespace velmora::appoptions
