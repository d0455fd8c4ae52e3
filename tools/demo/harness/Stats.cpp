#include "harness/Stats.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace demo {

void Histogram::Add(std::int64_t ns) {
    const int bucket = ns <= 1 ? 0 : static_cast<int>(std::ceil(std::log2(double(ns)) * 4));
    ++m_buckets[bucket];
    ++m_count;
    m_sumNs += ns;
    m_maxNs = std::max(m_maxNs, ns);
}

void Histogram::Merge(const Histogram& other) {
    for (const auto& [bucket, count] : other.m_buckets) m_buckets[bucket] += count;
    m_count += other.m_count;
    m_sumNs += other.m_sumNs;
    m_maxNs = std::max(m_maxNs, other.m_maxNs);
}

Histogram Histogram::Since(const Histogram& earlier) const {
    Histogram delta;
    for (const auto& [bucket, count] : m_buckets) {
        const auto before = earlier.m_buckets.find(bucket);
        const std::int64_t n = count - (before == earlier.m_buckets.end() ? 0 : before->second);
        if (n > 0) delta.m_buckets[bucket] = n;
        delta.m_count += std::max<std::int64_t>(n, 0);
    }
    delta.m_sumNs = m_sumNs - earlier.m_sumNs;
    delta.m_maxNs = m_maxNs;
    return delta;
}

double Histogram::PercentileUs(double fraction) const {
    if (m_count == 0) return 0;
    const auto wanted = static_cast<std::int64_t>(std::ceil(fraction * double(m_count)));
    std::int64_t seen = 0;
    for (const auto& [bucket, count] : m_buckets) {
        seen += count;
        if (seen >= wanted) return std::exp2(bucket / 4.0) / 1000;
    }
    return std::exp2(m_buckets.rbegin()->first / 4.0) / 1000;
}

std::string Histogram::Encode() const {
    // "sum~max,bucket:count,..."
    std::string out = std::to_string(m_sumNs) + "~" + std::to_string(m_maxNs);
    for (const auto& [bucket, count] : m_buckets)
        out += "," + std::to_string(bucket) + ":" + std::to_string(count);
    return out;
}

Histogram Histogram::Decode(const std::string& text) {
    Histogram h;
    std::stringstream in(text);
    std::string part;
    std::getline(in, part, ',');
    const auto tilde = part.find('~');
    h.m_sumNs = std::stoll(part.substr(0, tilde));
    if (tilde != std::string::npos) h.m_maxNs = std::stoll(part.substr(tilde + 1));
    while (std::getline(in, part, ',')) {
        const auto colon = part.find(':');
        const std::int64_t count = std::stoll(part.substr(colon + 1));
        h.m_buckets[std::stoi(part.substr(0, colon))] += count;
        h.m_count += count;
    }
    return h;
}

std::int64_t Stats::Get(const std::string& name) const {
    const auto it = counters.find(name);
    return it == counters.end() ? 0 : it->second;
}

void Stats::Merge(const Stats& other) {
    for (const auto& [name, value] : other.counters) counters[name] += value;
    for (const auto& [name, h] : other.histograms) histograms[name].Merge(h);
}

std::string Stats::Encode() const {
    std::string out;
    for (const auto& [name, value] : counters) out += " c:" + name + "=" + std::to_string(value);
    for (const auto& [name, h] : histograms) out += " h:" + name + "=" + h.Encode();
    return out;
}

Stats Stats::Decode(const std::string& line) {
    Stats s;
    std::stringstream in(line);
    std::string field;
    while (in >> field) {
        const auto eq = field.find('=');
        if (field.size() < 3 || field[1] != ':' || eq == std::string::npos) continue;
        const std::string name = field.substr(2, eq - 2);
        const std::string value = field.substr(eq + 1);
        if (field[0] == 'c')
            s.counters[name] += std::stoll(value);
        else if (field[0] == 'h')
            s.histograms[name].Merge(Histogram::Decode(value));
    }
    return s;
}

}  // namespace demo
