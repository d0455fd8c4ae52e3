// Stats: what one demo process counts (named counters) and times (latency histograms), in a
// form that travels to the parent as one text line and adds up across processes.
// Not thread-safe: use from one thread at a time; processes merge copies.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace demo {

// Latencies in nanoseconds, in buckets of a quarter octave (about 19 % wide); the exact sum is
// kept for the mean, and the exact largest sample.
class Histogram {
public:
    void Add(std::int64_t ns);
    void Merge(const Histogram& other);
    // The samples added since `earlier`, an older copy of this histogram (the sum and count
    // exact; the largest sample is this one's).
    Histogram Since(const Histogram& earlier) const;
    std::int64_t Count() const { return m_count; }
    double MeanUs() const {
        return m_count ? static_cast<double>(m_sumNs) / static_cast<double>(m_count) / 1000 : 0;
    }
    double MaxUs() const { return static_cast<double>(m_maxNs) / 1000; }
    // The upper bound of the bucket holding the given fraction of the samples, microseconds.
    double PercentileUs(double fraction) const;

    std::string Encode() const;
    static Histogram Decode(const std::string& text);

private:
    std::map<int, std::int64_t> m_buckets;
    std::int64_t m_count = 0;
    std::int64_t m_sumNs = 0;
    std::int64_t m_maxNs = 0;
};

struct Stats {
    std::map<std::string, std::int64_t> counters;
    std::map<std::string, Histogram> histograms;

    void Count(const std::string& name, std::int64_t by = 1) { counters[name] += by; }
    std::int64_t Get(const std::string& name) const;
    void Merge(const Stats& other);

    // "c:name=value ... h:name=encoded ..." without spaces inside the fields.
    std::string Encode() const;
    static Stats Decode(const std::string& line);
};

}  // namespace demo
