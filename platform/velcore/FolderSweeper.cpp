#include "velcore/FolderSweeper.h"

#include <algorithm>
#include <filesystem>
#include <vector>

using velmora::FolderSweepLayout;
using velmora::TMutexLock;

namespace {

namespace fs = std::filesystem;

struct EntryInfo {
    fs::path path;
    std::uint64_t bytes = 0;
    fs::file_time_type newestWrite = fs::file_time_type::min();
};

// Whether `path` is a leftover of `layout` old enough to delete (removing it if so).
bool RemovedAsLeftover(const fs::path& path, const FolderSweepLayout& layout,
                       fs::file_time_type cutoff) {
    if (!layout.isLeftover || !layout.isLeftover(path.filename().string())) return false;
    std::error_code error;
    const auto written = fs::last_write_time(path, error);
    if (error || written >= cutoff) return false;
    fs::remove_all(path, error);
    return !error;
}

// Size and newest last-write time of one entry, whose old leftovers it deletes on the way;
// nothing is thrown for an entry that vanishes.
EntryInfo Measure(const fs::path& path, const FolderSweepLayout& layout,
                  fs::file_time_type cutoff) {
    EntryInfo info;
    info.path = path;
    std::error_code error;
    const auto note = [&](const fs::path& p) {
        const auto written = fs::last_write_time(p, error);
        if (!error) info.newestWrite = std::max(info.newestWrite, written);
        if (fs::is_regular_file(fs::symlink_status(p, error))) {
            const auto size = fs::file_size(p, error);
            if (!error) info.bytes += size;
        }
    };
    note(path);
    if (fs::is_directory(fs::symlink_status(path, error))) {
        fs::recursive_directory_iterator it(path, error), end;
        for (; !error && it != end; it.increment(error)) {
            if (it.depth() == 0 && RemovedAsLeftover(it->path(), layout, cutoff)) {
                it.disable_recursion_pending();
                continue;
            }
            note(it->path());
        }
    }
    return info;
}

}  // namespace

FolderSweeper::FolderSweeper(std::uint64_t budgetBytes, FolderSweepOrder order,
                             unsigned int maxEntries, std::chrono::nanoseconds rescanInterval)
    : m_budgetBytes(budgetBytes),
      m_order(order),
      m_maxEntries(maxEntries),
      m_rescanInterval(rescanInterval) {}

std::size_t FolderSweeper::Sweep(const TPath& directory, std::uint64_t incomingBytes) {
    return Sweep(directory, incomingBytes, FolderSweepLayout());
}

std::size_t FolderSweeper::Sweep(const TPath& directory, std::uint64_t incomingBytes,
                                 const FolderSweepLayout& layout) {
    TMutexLock lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    Measurement& known = m_measurements[directory.Native()];
    const bool fresh = known.walkedAt != std::chrono::steady_clock::time_point() &&
                       now - known.walkedAt < m_rescanInterval;
    const bool fitsBytes = known.bytes + incomingBytes <= m_budgetBytes;
    const bool fitsCount = m_maxEntries == 0 || known.entries + 1 <= m_maxEntries;
    if (fresh && fitsBytes && fitsCount) {
        known.bytes += incomingBytes;
        ++known.entries;  // an overwrite counts again: the estimate errs high until the next walk
        return 0;
    }

    std::vector<EntryInfo> entries;
    std::uint64_t total = 0;
    std::error_code error;
    const auto cutoff = fs::file_time_type::clock::now() - layout.leftoverAge;
    for (fs::directory_iterator it(directory.Native(), error), end; !error && it != end;
         it.increment(error)) {
        const fs::path& path = it->path();
        if (RemovedAsLeftover(path, layout, cutoff)) continue;
        EntryInfo info = Measure(path, layout, cutoff);
        // Only recognised entries, and no symbolic link, may be deleted; the rest still counts.
        std::error_code statusError;
        const auto status = fs::symlink_status(path, statusError);
        const bool deletable = !statusError && !fs::is_symlink(status) &&
                               (!layout.isEntry || layout.isEntry(path.filename().string()));
        if (deletable)
            entries.push_back(std::move(info));
        else
            total += info.bytes;
    }
    for (const EntryInfo& entry : entries) total += entry.bytes;

    // Only one order exists; m_order is kept for the hosts that name it.
    static_cast<void>(m_order);
    std::sort(entries.begin(), entries.end(), [](const EntryInfo& a, const EntryInfo& b) {
        if (a.newestWrite != b.newestWrite) return a.newestWrite < b.newestWrite;
        return a.path < b.path;
    });
    std::size_t deleted = 0;
    std::size_t remaining = entries.size();
    for (const EntryInfo& entry : entries) {
        const bool overBytes = total + incomingBytes > m_budgetBytes;
        const bool overCount = m_maxEntries != 0 && remaining + 1 > m_maxEntries;
        if (!overBytes && !overCount) break;
        fs::remove_all(entry.path, error);
        if (error) continue;
        total -= entry.bytes;
        --remaining;
        ++deleted;
    }
    known.bytes = total + incomingBytes;
    known.entries = remaining + 1;
    known.walkedAt = now;
    return deleted;
}
