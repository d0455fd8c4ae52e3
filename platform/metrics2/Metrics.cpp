#include "metrics2/Metrics.h"
#include "velsys/Locks.h"

#include <atomic>
#include <map>
#include <utility>

using velmora::TMutex;
using velmora::TMutexLock;

namespace Metrics {
namespace {

struct SinkState {
    TMutex mutex;
    std::shared_ptr<IMetricsSink> sink VEL_GUARDED_BY(mutex);  // null drops records
    // Whether `sink` is set, readable without the mutex: with no sink installed (the default),
    // closing a scope takes no lock shared by every thread.
    std::atomic<bool> installed{false};
};

SinkState& State() {
    static SinkState* state = new SinkState();  // Lives until the process ends.
    return *state;
}

std::shared_ptr<IMetricsSink> CurrentSink() {
    if (!State().installed.load(std::memory_order_acquire)) return nullptr;
    TMutexLock lock(State().mutex);
    return State().sink;
}

struct Descriptions {
    TMutex mutex;
    std::map<std::pair<std::string, std::string>, FigureDescription> figures VEL_GUARDED_BY(mutex);
};

Descriptions& DescriptionState() {
    static Descriptions* state = new Descriptions();  // Lives until the process ends.
    return *state;
}

}  // namespace

void DescribeFigure(const std::string& scope, const std::string& tag, FigureKind kind,
                    std::string help) {
    Descriptions& d = DescriptionState();
    TMutexLock lock(d.mutex);
    d.figures[{scope, tag}] = FigureDescription{kind, std::move(help)};
}

std::optional<FigureDescription> DescribedFigure(const std::string& scope, const std::string& tag) {
    Descriptions& d = DescriptionState();
    TMutexLock lock(d.mutex);
    const auto found = d.figures.find({scope, tag});
    if (found == d.figures.end()) return std::nullopt;
    return found->second;
}

const TagValue* MetricsRecord::FindTag(const TString& tag) const {
    for (auto it = tags.rbegin(); it != tags.rend(); ++it)
        if (it->first == tag) return &it->second;
    return nullptr;
}

IMetricsSink::~IMetricsSink() = default;

namespace {
// Room for the tags of the library's own scopes, so that tagging does not grow the list.
constexpr std::size_t kUsualTags = 8;
}  // namespace

Scope::Scope(const TString& name, std::uint64_t optionBits)
    : m_start(std::chrono::steady_clock::now()) {
    m_record.name = name;
    m_record.optionBits = optionBits;
    m_record.tags.reserve(kUsualTags);
}

Scope::~Scope() {
    Close();
}

void Scope::Tag(const TString& tag, TagValue value) {
    m_record.tags.emplace_back(tag, std::move(value));
}

void Scope::Close() {
    if (m_closed) return;
    m_closed = true;
    m_record.elapsed = std::chrono::steady_clock::now() - m_start;
    if (auto sink = CurrentSink()) sink->Record(m_record);
}

std::shared_ptr<IMetricsSink> SetSink(std::shared_ptr<IMetricsSink> sink) {
    TMutexLock lock(State().mutex);
    State().installed.store(sink != nullptr, std::memory_order_release);
    return std::exchange(State().sink, std::move(sink));
}

void CapturingMetricsSink::Record(const MetricsRecord& record) {
    TMutexLock lock(m_mutex);
    m_records.push_back(record);
}

std::vector<MetricsRecord> CapturingMetricsSink::Records() const {
    TMutexLock lock(m_mutex);
    return m_records;
}

std::vector<MetricsRecord> CapturingMetricsSink::Find(const TString& name) const {
    std::vector<MetricsRecord> found;
    TMutexLock lock(m_mutex);
    for (const auto& record : m_records)
        if (record.name == name) found.push_back(record);
    return found;
}

void CapturingMetricsSink::Clear() {
    TMutexLock lock(m_mutex);
    m_records.clear();
}

ScopedMetricsSink::ScopedMetricsSink(std::shared_ptr<IMetricsSink> sink)
    : m_previous(SetSink(std::move(sink))) {}

ScopedMetricsSink::~ScopedMetricsSink() {
    SetSink(m_previous);
}

}  // namespace Metrics
