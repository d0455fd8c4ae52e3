// velcache sim: replays a trace of key accesses through the library's memory policies and
// prints the hit ratio each gets at each size, so that a host can size a cache before it runs.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "Cli.h"
#include "SimReference.h"
#include "caching/FrequencyPolicy.h"
#include "utility/Cache.h"
#include "velsys/Hash.h"

namespace velcli {

const char* const kSimUsage =
    "usage: velcache sim TRACE [--sizes N,N,...] [--bytes] [--format lis|keys|blocks]\n"
    "                 [--reference]\n"
    "\n"
    "Replays TRACE through the memory policies of the library and prints, for each size, the\n"
    "share of accesses each policy answers from memory (its hit ratio):\n"
    "  mru-batch   the read-through cache's former default: the least recently used are evicted\n"
    "              a thirty-second of the size at a time (the library's Cache and MRUPolicy)\n"
    "  frequency   the read-through cache's default (FrequencyPolicy): a recency window, a\n"
    "              frequency sketch that admits into the main area, and an adaptive window share\n"
    "TRACE: a file (decompressed with zstd -dc when it ends in .zst; '-' reads stdin) in one of\n"
    "three formats:\n"
    "  lis   'START COUNT IGNORED REQUEST' a line: one access to each of the blocks START to\n"
    "        START+COUNT-1 (the default for names ending in .lis or .lis.zst)\n"
    "  keys  one key a line, optionally followed by a space and its size in bytes\n"
    "  blocks  one block number a line (a decimal integer), each line one access; a line\n"
    "        '*' is skipped (the default for names ending in .trc or .trc.zst)\n"
    "  --sizes N,N,...   the sizes to try, in entries (default 1000,2000,5000,10000); with\n"
    "                    --bytes, in bytes (suffixes k, M, G)\n"
    "  --bytes           budgets in bytes: each key is charged its size from the trace (1 when\n"
    "                    it has none); mru-batch counts entries only and is left out\n"
    "  --reference       also textbook policies no cache of the library runs, to place its\n"
    "                    figures: ref-lru (least recently used, one entry at a time), ref-arc,\n"
    "                    ref-s3fifo, ref-sieve, and ref-opt (Belady's, which knows the future:\n"
    "                    the limit); all but ref-lru count entries and are left out with --bytes\n"
    "Exit status: 0 done, 2 bad arguments, 3 trace unreadable.\n";

namespace {

struct Trace {
    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> sizes;  // one a key access; empty when the trace has none
    std::size_t distinct = 0;
};

std::uint64_t ParseCount(const std::string& text, bool bytes) {
    std::size_t used = 0;
    unsigned long long value = 0;
    try {
        value = std::stoull(text, &used);
    } catch (const std::exception&) {
        UsageError("--sizes: '" + text + "' is not a size");
    }
    std::uint64_t scale = 1;
    const std::string suffix = text.substr(used);
    if (bytes && suffix == "k") scale = 1ULL << 10;
    if (bytes && suffix == "M") scale = 1ULL << 20;
    if (bytes && suffix == "G") scale = 1ULL << 30;
    if (!suffix.empty() && scale == 1) UsageError("--sizes: '" + text + "' is not a size");
    if (value == 0) UsageError("--sizes: a size must be at least 1");
    return value * scale;
}

std::vector<std::uint64_t> ParseSizes(const std::string& list, bool bytes) {
    std::vector<std::uint64_t> sizes;
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');) sizes.push_back(ParseCount(item, bytes));
    if (sizes.empty()) UsageError("--sizes names no size");
    return sizes;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

enum class Format { Lis, Keys, Blocks };

// Adds the accesses of one line of the trace; returns the form the line should have had when
// it has not (nullptr when it was read).
const char* ReadLine(const char* line, Format format, Trace& trace,
                     std::unordered_map<std::uint64_t, bool>& seen) {
    if (format == Format::Blocks) {
        if (line[0] == '*') return nullptr;
        char* end = nullptr;
        errno = 0;
        const unsigned long long block = std::strtoull(line, &end, 10);
        if (end == line || errno != 0 || !std::isdigit(static_cast<unsigned char>(line[0])))
            return "BLOCK";
        while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n') ++end;
        if (*end != '\0') return "BLOCK";
        trace.keys.push_back(block);
        seen.emplace(block, true);
        return nullptr;
    }
    if (format == Format::Lis) {
        unsigned long long start = 0, count = 0;
        if (std::sscanf(line, "%llu %llu", &start, &count) != 2)
            return "START COUNT IGNORED REQUEST";
        for (unsigned long long b = start; b < start + count; ++b) {
            trace.keys.push_back(b);
            seen.emplace(b, true);
        }
        return nullptr;
    }
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const std::size_t space = text.rfind(' ');
    std::uint64_t size = 0;
    if (space != std::string::npos) {
        size = std::strtoull(text.c_str() + space + 1, nullptr, 10);
        text.resize(space);
    }
    const auto hash = THash128(text.data(), text.size(), 0);
    const std::uint64_t key = hash.first ^ (hash.second * 0x9E3779B97F4A7C15ULL);
    trace.keys.push_back(key);
    trace.sizes.push_back(size ? size : 1);
    seen.emplace(key, true);
    return nullptr;
}

// Reads the trace, through zstd when it is compressed.
Trace ReadTrace(const std::string& path, Format format) {
    FILE* file = nullptr;
    const bool piped = EndsWith(path, ".zst");
    if (path == "-")
        file = stdin;
    else if (piped)
        file = popen(("zstd -dc -- '" + path + "'").c_str(), "r");
    else
        file = std::fopen(path.c_str(), "r");
    if (!file) Fail(kExitUnavailable, "cannot read the trace " + path);
    Trace trace;
    std::unordered_map<std::uint64_t, bool> seen;
    char line[4096];
    long long lineNumber = 0;
    while (std::fgets(line, sizeof line, file)) {
        ++lineNumber;
        if (line[0] == '\n' || line[0] == '#') continue;
        if (const char* expected = ReadLine(line, format, trace, seen)) {
            if (piped) pclose(file);
            Fail(kExitUnavailable,
                 path + ":" + std::to_string(lineNumber) + ": not '" + expected + "'");
        }
    }
    if (piped ? pclose(file) != 0 : (file != stdin && std::fclose(file) != 0))
        Fail(kExitUnavailable, "cannot read the trace " + path);
    if (trace.keys.empty()) Fail(kExitUnavailable, "the trace " + path + " holds no access");
    trace.distinct = seen.size();
    return trace;
}

std::uint64_t SizeOf(const Trace& trace, std::size_t i, bool bytes) {
    return bytes && !trace.sizes.empty() ? trace.sizes[i] : 1;
}

// Textbook least-recently-used: one eviction at a time, by weight.
double ReplayLru(const Trace& trace, std::uint64_t capacity, bool bytes) {
    std::list<std::pair<std::uint64_t, std::uint64_t>> order;  // most recent first
    std::unordered_map<std::uint64_t, decltype(order)::iterator> where;
    std::uint64_t weight = 0, hits = 0;
    for (std::size_t i = 0; i < trace.keys.size(); ++i) {
        const std::uint64_t key = trace.keys[i];
        if (const auto it = where.find(key); it != where.end()) {
            ++hits;
            order.splice(order.begin(), order, it->second);
            continue;
        }
        const std::uint64_t size = SizeOf(trace, i, bytes);
        if (size > capacity) continue;
        order.emplace_front(key, size);
        where[key] = order.begin();
        weight += size;
        while (weight > capacity) {
            weight -= order.back().second;
            where.erase(order.back().first);
            order.pop_back();
        }
    }
    return static_cast<double>(hits) / static_cast<double>(trace.keys.size());
}

// The library's Cache with the MRU policy the read-through cache's memory layer used: over
// `capacity` entries, purged to a thirty-second under it. Recency is counted in accesses.
double ReplayBatchedMru(const Trace& trace, std::uint64_t capacity) {
    const auto keep = static_cast<unsigned long long>(capacity - capacity / 32);
    Cache cache(std::make_shared<CacheHelpers::MRUPolicy>(keep));
    std::unordered_map<std::uint64_t, unsigned int> ids;
    std::uint64_t hits = 0;
    for (const std::uint64_t key : trace.keys) {
        cache.JustIncrementClock();
        if (const auto it = ids.find(key); it != ids.end() && cache.UseEntry(it->second)) {
            ++hits;
            continue;
        }
        ids[key] = cache.AddEntry(CacheHelpers::Payload(new VelCacheData()));
        if (cache.GetSize() > capacity) cache.Purge();
    }
    return static_cast<double>(hits) / static_cast<double>(trace.keys.size());
}

double ReplayFrequency(const Trace& trace, std::uint64_t capacity, bool bytes) {
    std::uint64_t expected = capacity;
    if (bytes && !trace.sizes.empty()) {
        long double total = 0;
        for (const std::uint64_t s : trace.sizes) total += static_cast<long double>(s);
        const long double mean = total / static_cast<long double>(trace.sizes.size());
        expected = std::max<std::uint64_t>(
            1, static_cast<std::uint64_t>(static_cast<long double>(capacity) / mean));
    }
    velmora::caching::FrequencyPolicy policy(capacity, expected);
    // Hits reach the policy as the cache's do, through its lossy log (one thread's ring).
    auto log = std::make_unique<velmora::caching::FrequencyHitLog>();
    std::vector<std::uint64_t> evicted;
    std::uint64_t hits = 0;
    for (std::size_t i = 0; i < trace.keys.size(); ++i) {
        const std::uint64_t key = trace.keys[i];
        if (policy.Holds(key)) {
            ++hits;
            if (log->Record(key, 0)) log->Drain(policy);  // the lock is always free here
        } else {
            evicted.clear();
            log->Drain(policy);
            policy.OnMiss(key, SizeOf(trace, i, bytes), evicted);
        }
    }
    return static_cast<double>(hits) / static_cast<double>(trace.keys.size());
}

// "41.18%": a share as the table prints it.
std::string Percent(double share) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f%%", 100 * share);
    return text;
}

}  // namespace

int RunSimCommand(const std::vector<std::string>& argv) {
    const Args args(argv, {"--sizes", "--format"}, {"--bytes", "--reference", "--help"});
    if (args.Has("--help")) {
        std::fputs(kSimUsage, stdout);
        return kExitOk;
    }
    args.ExpectPositional(1, "TRACE");
    const std::string path = args.Positional().front();
    const char* byName = "keys";
    if (EndsWith(path, ".lis") || EndsWith(path, ".lis.zst")) byName = "lis";
    if (EndsWith(path, ".trc") || EndsWith(path, ".trc.zst")) byName = "blocks";
    const std::string format = args.Get("--format", byName);
    if (format != "lis" && format != "keys" && format != "blocks")
        UsageError("--format is lis, keys or blocks");
    const bool bytes = args.Has("--bytes");
    const bool reference = args.Has("--reference");
    const std::vector<std::uint64_t> sizes =
        ParseSizes(args.Get("--sizes", bytes ? "1M,4M,16M,64M" : "1000,2000,5000,10000"), bytes);
    const Trace trace = ReadTrace(path, format == "lis"    ? Format::Lis
                                        : format == "keys" ? Format::Keys
                                                           : Format::Blocks);
    std::printf("%s: %zu accesses, %zu distinct keys%s\n", path.c_str(), trace.keys.size(),
                trace.distinct, bytes ? ", budgets in bytes" : "");
    std::printf("%14s %10s %10s", bytes ? "bytes" : "entries", "mru-batch", "frequency");
    if (reference) {
        std::printf(" %10s", "ref-lru");
        for (const ReferencePolicy policy : ReferencePolicies())
            std::printf(" %10s", ColumnName(policy).c_str());
    }
    std::printf("\n");
    for (const std::uint64_t size : sizes) {
        std::printf("%14llu %10s %10s", static_cast<unsigned long long>(size),
                    bytes ? "-" : Percent(ReplayBatchedMru(trace, size)).c_str(),
                    Percent(ReplayFrequency(trace, size, bytes)).c_str());
        if (reference) {
            std::printf(" %10s", Percent(ReplayLru(trace, size, bytes)).c_str());
            for (const ReferencePolicy policy : ReferencePolicies())
                std::printf(
                    " %10s",
                    bytes ? "-" : Percent(ReplayReference(policy, trace.keys, size)).c_str());
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return kExitOk;
}

}  // namespace velcli
