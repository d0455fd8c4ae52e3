#include "judge/History.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <stdexcept>

namespace demo {

namespace {

constexpr std::size_t kFlushAt = 1 << 16;

}  // namespace

std::int64_t RealtimeNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

HistoryLog::HistoryLog(const std::string& path) {
    if (path.empty()) return;
    m_fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) throw std::runtime_error("cannot append to the history " + path);
}

HistoryLog::~HistoryLog() {
    if (m_fd < 0) return;
    Flush();
    ::close(m_fd);
}

void HistoryLog::Read(const std::string& process, const QueryResult& result, std::int64_t startNs,
                      std::int64_t endNs) {
    if (m_fd < 0) return;
    for (const auto& [qid, version] : result.versions)
        m_buffer += "R " + process + " q" + std::to_string(qid) + " " + std::to_string(version) +
                    " " + std::to_string(startNs) + " " + std::to_string(endNs) + "\n";
    if (m_buffer.size() >= kFlushAt) Flush();
}

void HistoryLog::Write(int qid, std::int64_t version, std::int64_t commitNs) {
    if (m_fd < 0) return;
    m_buffer += "W q" + std::to_string(qid) + " " + std::to_string(version) + " " +
                std::to_string(commitNs) + "\n";
    if (m_buffer.size() >= kFlushAt) Flush();
}

void HistoryLog::Flush() {
    // One write of whole lines: appended at the end as a unit, between other processes' writes.
    std::size_t done = 0;
    while (done < m_buffer.size()) {
        const ssize_t n = ::write(m_fd, m_buffer.data() + done, m_buffer.size() - done);
        if (n <= 0) break;  // a full disk loses the rest; the run goes on
        done += static_cast<std::size_t>(n);
    }
    m_buffer.clear();
}

}  // namespace demo
