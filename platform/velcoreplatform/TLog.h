// TLog: the foundation's logging facility.
//
// Every line goes to one process-wide sink. The default sink writes to stderr the lines at or
// above a level the host sets (Warn until told otherwise). A host or a test installs another
// sink with SetSink: CapturingLogSink keeps every line (severity, text, attributes, error) so
// that tests can read them back. Lines carry an optional attribute table (named values) and an
// error value. The sinks, the line record and the attribute table are this platform's own and
// live in namespace velmora.
// Thread contract: safe for concurrent use. The sink is called on the logging thread with no
// lock of the facility held; a sink must therefore be safe for concurrent use itself.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "velcoreplatform/TFormatString.h"
#include "velcoreplatform/TString.h"
#include "velsys/Exceptions.h"
#include "velsys/Export.h"
#include "velsys/Locks.h"

namespace velmora {

/// Named values that travel with a log line or a metrics record.
using StringLookupTable = std::unordered_map<TString, TString>;

/// One log line as a sink receives it.
struct LogRecord {
    int severity = 0;  ///< a TLog::Severity value
    /// The line's text.
    TString message;
    /// Named values that travel with the line.
    StringLookupTable attributes;
    /// The error the line reports; NoError when none.
    VelmoraError error;
};

/// Receives the log lines of the process (TLog::SetSink). Called on the logging thread; must be
/// safe for concurrent use.
class VELPLATFORM_EXPORT ILogSink {
public:
    virtual ~ILogSink();
    /// Whether a line of this severity and detail category would be written.
    virtual bool Accepts(int severity, int category) const = 0;
    /// Writes one line it accepted.
    virtual void Write(const LogRecord& record) = 0;
};

}  // namespace velmora

/// The process's log: lines go to the installed sink, or to stderr. Safe for concurrent use.
class VELPLATFORM_EXPORT TLog {
public:
    /// How bad a line is.
    enum Severity { Debug = 0, Info = 1, Warn = 2, Error = 3 };
    /// The severities of lines that report no error; converts to Severity.
    enum NonErrorSeverity { NonErrorDebug = Debug, NonErrorInfo = Info, NonErrorWarn = Warn };

    /// Writes one line when the sink accepts its severity.
    static void LogMessage(int severity, const TString& message,
                           const velmora::StringLookupTable& attributes = {},
                           const VelmoraError& error = VelmoraError::NoError);
    /// Writes one formatted line when the sink accepts its severity.
    static void LogMessage(int severity, const TFormatString& message,
                           const velmora::StringLookupTable& attributes = {},
                           const VelmoraError& error = VelmoraError::NoError) {
        LogMessage(severity, message.ToString(), attributes, error);
    }
    /// Logs `message` with the exception in flight (its text in attribute "exception").
    /// REQUIRES: called from inside a catch block.
    static void LogCurrentException(int severity, const TString& message,
                                    const velmora::StringLookupTable& attributes = {});
    /// Whether a line of that severity and detail category would be written.
    static bool LoggerAcceptsSeverity(int severity, int category = 0);

    /// Host configuration. SetSink(nullptr) restores the stderr sink. Returns the previous sink.
    static std::shared_ptr<velmora::ILogSink> SetSink(std::shared_ptr<velmora::ILogSink> sink);
    /// Lowest severity the stderr sink writes.
    static void SetStderrLevel(int severity);
};

namespace velmora {

/// Keeps every line it is given, for tests to read back (read as CapturingMetricsSink is).
/// Accepts every severity at or above its level (Debug by default). Safe for concurrent use.
class VELPLATFORM_EXPORT CapturingLogSink : public ILogSink {
public:
    /// A sink that keeps lines at `minimumSeverity` and above.
    explicit CapturingLogSink(int minimumSeverity = TLog::Debug);
    bool Accepts(int severity, int category) const override;
    /// Keeps the line.
    void Write(const LogRecord& record) override;

    /// Every line kept, in the order written.
    std::vector<LogRecord> Records() const;
    /// The lines kept whose message equals `message`, in the order written.
    std::vector<LogRecord> Find(const TString& message) const;
    /// Forgets every line kept.
    void Clear();

private:
    const int m_minimumSeverity;
    mutable TMutex m_mutex;
    std::vector<LogRecord> m_records VEL_GUARDED_BY(m_mutex);
};

/// Installs a sink for the length of a scope and restores the previous one after.
class VELPLATFORM_EXPORT ScopedLogSink {
public:
    /// Installs `sink` until the scope ends.
    explicit ScopedLogSink(std::shared_ptr<ILogSink> sink);
    ~ScopedLogSink();
    ScopedLogSink(const ScopedLogSink&) = delete;
    ScopedLogSink& operator=(const ScopedLogSink&) = delete;

private:
    std::shared_ptr<ILogSink> m_previous;
};

}  // namespace velmora
