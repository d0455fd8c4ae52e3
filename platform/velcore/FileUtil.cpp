#include "velcore/FileUtil.h"

#include <chrono>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

// Local time minus UTC, at this moment.
DateTimeSpan LocalOffset() {
    return DateTime::Now() - DateTime::UtcNow();
}

}  // namespace

bool CreateDirectory(const TPath& path) {
    std::error_code error;
    fs::create_directories(path.Native(), error);
    return fs::is_directory(path.Native(), error);
}

bool RemovePathRecursively(const TPath& path) {
    std::error_code error;
    const auto removed = fs::remove_all(path.Native(), error);
    return !error && removed != static_cast<std::uintmax_t>(-1) && removed > 0;
}

bool LastWriteTime(const TPath& path, DateTime localTime) {
    // The offset is rounded to whole seconds by DateTime::Now, so UTC comes back exactly.
    const DateTime utc = localTime - LocalOffset();
    const auto sinceUnix = nanoseconds(
        (std::int64_t(utc.GetRepresentation()) - std::int64_t(DateTime::kUnixEpochTicks)) * 100);
    const auto sys = system_clock::time_point(duration_cast<system_clock::duration>(sinceUnix));
    std::error_code error;
    fs::last_write_time(path.Native(), file_clock::from_sys(sys), error);
    return !error;
}

DateTime LastWriteTime(const TPath& path) {
    std::error_code error;
    const auto fileTime = fs::last_write_time(path.Native(), error);
    if (error) return DateTime();
    const auto sinceUnix =
        duration_cast<nanoseconds>(file_clock::to_sys(fileTime).time_since_epoch()).count();
    const auto ticks = std::int64_t(DateTime::kUnixEpochTicks) + sinceUnix / 100;
    if (ticks < 0) return DateTime();
    return DateTime::FromValue(std::uint64_t(ticks)) + LocalOffset();
}
