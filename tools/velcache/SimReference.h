// Textbook replacement policies for velcache sim's --reference columns: what the literature's
// simulators print beside a new policy, so that a reader can place the library's figures. They
// are never used by a cache; each counts entries (one per key) and replays a whole trace on the
// caller's thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velcli {

enum class ReferencePolicy {
    Arc,     // Megiddo and Modha, FAST 2003: two LRU lists, their ghosts and an adaptive target
    S3Fifo,  // Yang et al., SOSP 2023: a small FIFO (10%), a main FIFO with reinsertion, a ghost
    Sieve,   // Zhang et al., NSDI 2024: one FIFO, a visited bit and a hand that sweeps it
    Opt,  // Belady's MIN: evict the entry used again furthest ahead (the limit; needs the future)
};

// Every reference policy, in the order the columns are printed.
const std::vector<ReferencePolicy>& ReferencePolicies();

// The column's name: "ref-arc", "ref-s3fifo", "ref-sieve", "ref-opt".
std::string ColumnName(ReferencePolicy policy);

// The share of `keys` (accesses in order) that `policy` answers from `capacity` entries.
double ReplayReference(ReferencePolicy policy, const std::vector<std::uint64_t>& keys,
                       std::uint64_t capacity);

}  // namespace velcli
