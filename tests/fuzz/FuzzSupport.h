// What the fuzz targets share: a quiet host (the unit-test flag on, every log line accepted, so
// that the logging paths run too, and then dropped, or printed when VELFUZZ_LOG is set to
// reproduce a finding; metrics dropped), and the check that ends a run with a message when a
// property fails.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "metrics2/Metrics.h"
#include "velcore/AppConfig.h"
#include "velcoreplatform/TLog.h"

namespace velfuzz {

class DroppingLogSink : public velmora::ILogSink {
public:
    bool Accepts(int, int) const override { return true; }
    void Write(const velmora::LogRecord& record) override {
        if (!s_print) return;
        std::string line = record.message.toStdString();
        for (const auto& [name, value] : record.attributes)
            line += " " + name.toStdString() + "=" + value.toStdString();
        std::fprintf(stderr, "log %d: %s\n", record.severity, line.c_str());
    }

private:
    static inline const bool s_print = std::getenv("VELFUZZ_LOG") != nullptr;
};

// Call once, from LLVMFuzzerInitialize or the first run.
inline void QuietHost() {
    AppConfig::GetInstance().SetUnitTestFlag(true);
    TLog::SetSink(std::make_shared<DroppingLogSink>());
    Metrics::SetSink(nullptr);
}

// A failed property: libFuzzer keeps the input that led here.
[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}

#define VELFUZZ_CHECK(condition)                       \
    do {                                               \
        if (!(condition)) ::velfuzz::Fail(#condition); \
    } while (false)

}  // namespace velfuzz
