// velcache audit: reads a recorded history of reads and writes (docs/consistency.md) and reports
// every read that returned a value older than a write committed before the read began, beyond a
// window. Values are ordered by the per-key write versions the history carries (hashes cannot
// order values); times come from one clock (one machine's CLOCK_REALTIME, in nanoseconds).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "Cli.h"

namespace velcli {

const char* const kAuditUsage =
    "usage: velcache audit HISTORY [--window-ms MS]\n"
    "\n"
    "Reads HISTORY, a recorded history of reads and writes ('-' reads stdin), and prints every\n"
    "read that returned a value older than a write of its key that had committed more than\n"
    "MS milliseconds (default 0) before the read began, with how far behind it was; then one\n"
    "line of totals. Lines of HISTORY (fields separated by spaces; '#' starts a comment):\n"
    "  W KEY VERSION COMMIT_NS                   a write of KEY committed VERSION\n"
    "  I KEY VERSION COMMIT_NS                   an invalidation: likewise\n"
    "  R PROCESS KEY VERSION START_NS END_NS     a read by PROCESS returned VERSION of KEY\n"
    "VERSION: the key's write version, a number that grows with each write (0: the value before\n"
    "any write in the history); times: nanoseconds of one machine's CLOCK_REALTIME.\n"
    "Exit status: 0 no stale read, 1 stale reads found, 2 bad arguments or unreadable history.\n";

namespace {

struct Write {
    unsigned long long version;
    long long commitNs;
};
struct Read {
    std::string process, key;
    unsigned long long version;
    long long startNs, endNs;
    std::size_t line;
};

[[noreturn]] void BadHistory(std::size_t line, const std::string& why) {
    Fail(kExitUsage, "history line " + std::to_string(line) + ": " + why);
}

template <class T>
T Number(const std::string& text, std::size_t line, const char* what) {
    errno = 0;
    char* end = nullptr;
    const bool negative = !text.empty() && text[0] == '-';
    T value{};
    if constexpr (std::is_signed_v<T>)
        value = static_cast<T>(std::strtoll(text.c_str(), &end, 10));
    else
        value = negative ? T{} : static_cast<T>(std::strtoull(text.c_str(), &end, 10));
    if (text.empty() || errno != 0 || *end != '\0' || (negative && !std::is_signed_v<T>) ||
        (std::is_signed_v<T> && value < 0))
        BadHistory(line, std::string(what) + " is not a number: '" + text + "'");
    return value;
}

void ReadHistory(std::istream& in, std::unordered_map<std::string, std::vector<Write>>& writes,
                 std::vector<Read>& reads) {
    std::string text;
    for (std::size_t line = 1; std::getline(in, text); ++line) {
        if (const auto hash = text.find('#'); hash != std::string::npos) text.resize(hash);
        std::istringstream words(text);
        std::vector<std::string> f;
        for (std::string w; words >> w;) f.push_back(w);
        if (f.empty()) continue;
        if (f[0] == "W" || f[0] == "I") {
            if (f.size() != 4) BadHistory(line, f[0] + " takes KEY VERSION COMMIT_NS");
            writes[f[1]].push_back({Number<unsigned long long>(f[2], line, "VERSION"),
                                    Number<long long>(f[3], line, "COMMIT_NS")});
        } else if (f[0] == "R") {
            if (f.size() != 6) BadHistory(line, "R takes PROCESS KEY VERSION START_NS END_NS");
            Read r{f[1],
                   f[2],
                   Number<unsigned long long>(f[3], line, "VERSION"),
                   Number<long long>(f[4], line, "START_NS"),
                   Number<long long>(f[5], line, "END_NS"),
                   line};
            if (r.endNs < r.startNs) BadHistory(line, "the read ends before it starts");
            reads.push_back(std::move(r));
        } else {
            BadHistory(line, "unknown record '" + f[0] + "' (W, I or R)");
        }
    }
    if (in.bad()) Fail(kExitUsage, "the history could not be read");
}

// Prints every read of `reads` that began more than `windowNs` after a newer version of its key
// was committed, and returns how many there were. Sorts each key's writes by version.
std::size_t CountStale(std::unordered_map<std::string, std::vector<Write>>& writes,
                       const std::vector<Read>& reads, long long windowNs) {
    // Per key, writes by version, and from each on the earliest commit of it or a later
    // version: a read of version V is behind from the first moment something newer was committed.
    std::unordered_map<std::string, std::vector<long long>> earliestFrom;
    for (auto& [key, list] : writes) {
        std::sort(list.begin(), list.end(),
                  [](const Write& a, const Write& b) { return a.version < b.version; });
        std::vector<long long>& earliest = earliestFrom[key];
        earliest.resize(list.size());
        long long least = std::numeric_limits<long long>::max();
        for (std::size_t i = list.size(); i-- > 0;)
            earliest[i] = least = std::min(least, list[i].commitNs);
    }

    std::size_t stale = 0;
    for (const Read& r : reads) {
        const auto found = writes.find(r.key);
        if (found == writes.end()) continue;
        const std::vector<Write>& list = found->second;
        const auto above = std::upper_bound(
            list.begin(), list.end(), r.version,
            [](unsigned long long version, const Write& w) { return version < w.version; });
        if (above == list.end()) continue;  // nothing newer was ever written
        const long long firstNewer =
            earliestFrom[r.key][static_cast<std::size_t>(above - list.begin())];
        if (firstNewer + windowNs >= r.startNs) continue;
        ++stale;
        std::printf(
            "stale read (line %zu): process %s, key %s, version %llu at %lld: a newer version "
            "committed %.3f ms before the read began\n",
            r.line, r.process.c_str(), r.key.c_str(), r.version, r.startNs,
            static_cast<double>(r.startNs - firstNewer) / 1e6);
    }
    return stale;
}

}  // namespace

int RunAuditCommand(const std::vector<std::string>& argv) {
    const Args args(argv, {"--window-ms"}, {"--help"});
    if (args.Has("--help")) {
        std::fputs(kAuditUsage, stdout);
        return kExitOk;
    }
    args.ExpectPositional(1, "HISTORY");
    const std::string window = args.Get("--window-ms", "0");
    char* end = nullptr;
    errno = 0;
    const long long windowMs = std::strtoll(window.c_str(), &end, 10);
    if (window.empty() || *end != '\0' || errno != 0 || windowMs < 0 ||
        windowMs > std::numeric_limits<long long>::max() / 1000000LL)
        UsageError("--window-ms takes a number of milliseconds, not '" + window + "'");
    const long long windowNs = windowMs * 1000000LL;

    std::unordered_map<std::string, std::vector<Write>> writes;
    std::vector<Read> reads;
    const std::string path = args.Positional().front();
    if (path == "-") {
        ReadHistory(std::cin, writes, reads);
    } else {
        std::ifstream in(path);
        if (!in) Fail(kExitUsage, "cannot open the history " + path);
        ReadHistory(in, writes, reads);
    }

    std::size_t writeCount = 0;
    for (const auto& entry : writes) writeCount += entry.second.size();
    const std::size_t stale = CountStale(writes, reads, windowNs);
    std::printf("%zu reads, %zu writes, %zu stale beyond %lld ms\n", reads.size(), writeCount,
                stale, windowMs);
    return stale ? kExitStale : kExitOk;
}

}  // namespace velcli
