// Metrics::Scope: one measurement of one operation.
//
// A scope is opened (constructed) when an operation starts, collects typed tags while it runs,
// and is closed by Close or its destructor; closing hands one MetricsRecord (name, option bits,
// tags, elapsed time) to the process-wide sink. The default sink drops records; a host installs
// its own with Metrics::SetSink, and tests install CapturingMetricsSink to read them back. The
// option bits are carried through untouched for the sink to interpret.
// A snapshot scope (one that reports a set of figures at once) may describe each figure it tags:
// whether it only grows (a counter) or is a level (a gauge), and one line of help; a sink that
// renders figures reads the descriptions back (DescribedFigure).
// Thread contract: a Scope is not thread-safe: use from one thread at a time. The sink is
// called on the closing thread with no lock of the facility held and must be safe for
// concurrent use. Describing and reading descriptions are safe for concurrent use (they take
// the facility's description lock, nothing else).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "velcoreplatform/TString.h"
#include "velsys/Export.h"
#include "velsys/Locks.h"

namespace Metrics {

using TagValue = std::variant<TString, std::int32_t, std::int64_t, std::uint64_t, double, bool>;

/// What a closed Scope hands to the sink.
struct VELPLATFORM_EXPORT MetricsRecord {
    /// The scope's name, e.g. "DiskExternalCache::TryLoad".
    TString name;
    /// Carried through untouched for the sink to interpret.
    std::uint64_t optionBits = 0;
    std::vector<std::pair<TString, TagValue>> tags;  ///< in the order they were set
    /// From the scope's opening to its closing.
    std::chrono::nanoseconds elapsed{0};

    /// The last value set for `tag`, or null when it was never set.
    const TagValue* FindTag(const TString& tag) const;
};

/// Receives the process's metrics records (Metrics::SetSink). Called on the thread that closed the
/// scope; must be safe for concurrent use.
class VELPLATFORM_EXPORT IMetricsSink {
public:
    virtual ~IMetricsSink();
    /// Receives one record.
    virtual void Record(const MetricsRecord& record) = 0;
};

/// One measured operation: opened on construction, closed (and recorded) by Close or the
/// destructor. Not thread-safe: use from one thread at a time.
class VELPLATFORM_EXPORT Scope {
public:
    /// Opens a scope named `name` and starts its clock.
    Scope(const TString& name, std::uint64_t optionBits);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    /// Attaches a typed value; setting a tag again appends a newer value.
    void Tag(const TString& tag, TagValue value);
    /// Closes the scope and hands its record to the sink. Later calls do nothing.
    void Close();

private:
    MetricsRecord m_record;
    std::chrono::steady_clock::time_point m_start;
    bool m_closed = false;
};

/// What a figure of a snapshot scope is.
enum class FigureKind {
    Gauge,    ///< a level, which may go up and down
    Counter,  ///< a count that only grows while its source lives
};

/// How a snapshot scope's figure is to be read.
struct VELPLATFORM_EXPORT FigureDescription {
    FigureKind kind = FigureKind::Gauge;  ///< a counter or a gauge
    std::string help;                     ///< one line, no newline
};

/// Describes the figure `tag` of scope `scope` for the process's sinks; a later description of
/// the same figure replaces the earlier one. Kept until the process ends.
VELPLATFORM_EXPORT void DescribeFigure(const std::string& scope, const std::string& tag,
                                       FigureKind kind, std::string help);
/// The description of the figure `tag` of scope `scope`, or nothing when none was given.
VELPLATFORM_EXPORT std::optional<FigureDescription> DescribedFigure(const std::string& scope,
                                                                    const std::string& tag);

/// Installs the process-wide sink (null: drop records). Returns the previous one.
VELPLATFORM_EXPORT std::shared_ptr<IMetricsSink> SetSink(std::shared_ptr<IMetricsSink> sink);

/// Keeps every record it is given, for tests to read back (read as CapturingLogSink is). Safe for
/// concurrent use.
class VELPLATFORM_EXPORT CapturingMetricsSink : public IMetricsSink {
public:
    /// Keeps the record.
    void Record(const MetricsRecord& record) override;

    /// Every record kept, in the order closed.
    std::vector<MetricsRecord> Records() const;
    /// The records kept whose name equals `name`, in the order closed.
    std::vector<MetricsRecord> Find(const TString& name) const;
    /// Forgets every record kept.
    void Clear();

private:
    mutable velmora::TMutex m_mutex;
    std::vector<MetricsRecord> m_records VEL_GUARDED_BY(m_mutex);
};

/// Installs a sink for the length of a scope and restores the previous one after.
class VELPLATFORM_EXPORT ScopedMetricsSink {
public:
    /// Installs `sink` until the scope ends.
    explicit ScopedMetricsSink(std::shared_ptr<IMetricsSink> sink);
    ~ScopedMetricsSink();
    ScopedMetricsSink(const ScopedMetricsSink&) = delete;
    ScopedMetricsSink& operator=(const ScopedMetricsSink&) = delete;

private:
    std::shared_ptr<IMetricsSink> m_previous;
};

}  // namespace Metrics
