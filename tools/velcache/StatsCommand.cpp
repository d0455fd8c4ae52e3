// velcache stats: one scrape of a host's metrics endpoint (HostOptions::metricsAddress, GET
// /metrics, the Prometheus text format 0.0.4 that Metrics::OpenMetricsSink renders), fetched
// over plain HTTP/1.1 and printed as a table an operator reads: a row per sample, a histogram's
// buckets summarised as its count, sum and mean.
//
// The client is a small one of our own on a POSIX socket: one GET with "Connection: close",
// the answer read to its Content-Length or to the end of the connection, at most 16 MiB, and
// the whole exchange (name lookup aside) within --timeout-ms.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <stdexcept>

#include "Cli.h"

namespace velcli {

const char* const kStatsUsage =
    "usage: velcache stats URL [--filter TEXT] [--json] [--timeout-ms MS]\n"
    "\n"
    "Fetches one scrape of a host's metrics (HostOptions::metricsAddress) and prints it as a\n"
    "table: one row per sample with its metric, its labels (name=value,... or '-') and its\n"
    "value, the families in the order the host wrote them. A histogram's buckets are left out:\n"
    "each of its series shows as NAME_count, NAME_sum and NAME:mean (sum/count, '-' for none).\n"
    "  URL               http://HOST:PORT[/PATH] or HOST:PORT; PATH defaults to /metrics\n"
    "                    (plain HTTP only)\n"
    "  --filter TEXT     only the rows whose metric contains TEXT\n"
    "  --json            one JSON object per row instead of the table:\n"
    "                    {\"metric\": ..., \"labels\": {...}, \"value\": ...}\n"
    "  --timeout-ms MS   how long connecting and the whole answer may take (default 2000)\n"
    "Exit status: 0 done, 2 bad arguments, 3 host unreachable, too slow, or not answering 200\n"
    "with metrics text.\n";

namespace {

using Clock = std::chrono::steady_clock;
using Labels = std::vector<std::pair<std::string, std::string>>;

constexpr std::size_t kMaxHead = 64u << 10;

[[noreturn]] void Malformed(const std::string& why) {
    throw std::runtime_error(why);
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The body of a chunked answer from `at` on, decoded; its trailer fields are not read.
std::string DecodeChunked(const std::string& in, std::size_t at) {
    std::string body;
    for (;;) {
        const std::size_t eol = in.find('\n', at);
        if (eol == std::string::npos) Malformed("the connection ended inside the chunked body");
        std::string line = in.substr(at, eol - at);
        line = Trim(line.substr(0, line.find_first_of(";\r")));  // no extensions, no CR
        if (line.empty() || line.size() > 8 ||
            line.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            Malformed("malformed chunk size '" + line + "'");
        const std::size_t size = std::stoul(line, nullptr, 16);
        at = eol + 1;
        if (size == 0) return body;
        if (size > kMaxStatsBody - body.size()) Malformed("a body over 16 MiB");
        if (in.size() - at < size) Malformed("the connection ended inside the chunked body");
        body.append(in, at, size);
        at += size;
        if (in.compare(at, 2, "\r\n") == 0)
            at += 2;
        else if (at < in.size() && in[at] == '\n')
            ++at;
        else
            Malformed("a chunk longer than its size");
    }
}

// A metric or label name: [a-zA-Z_:][a-zA-Z0-9_:]* (no colon in a label name).
std::size_t NameLength(const std::string& text, std::size_t at, bool colon) {
    std::size_t end = at;
    for (; end < text.size(); ++end) {
        const char c = text[end];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        const bool digit = c >= '0' && c <= '9' && end > at;
        if (!letter && !digit && !(colon && c == ':')) break;
    }
    return end - at;
}

void SkipBlanks(const std::string& text, std::size_t& at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
}

std::string Word(const std::string& text, std::size_t& at) {
    SkipBlanks(text, at);
    const std::size_t end = std::min(text.find_first_of(" \t", at), text.size());
    std::string word = text.substr(at, end - at);
    at = end;
    return word;
}

bool IsNumber(const std::string& text, bool integer) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    if (integer)
        std::strtoll(text.c_str(), &end, 10);
    else
        std::strtod(text.c_str(), &end);
    return *end == '\0' && (!integer || errno == 0);
}

struct Sample {
    std::string name;
    Labels labels;
    std::string value;
};

// name[{label="value",...}] value [timestamp]
Sample ReadSample(const std::string& line) {
    Sample sample;
    std::size_t at = NameLength(line, 0, true);
    if (at == 0) Malformed("not a sample: '" + line + "'");
    sample.name = line.substr(0, at);
    SkipBlanks(line, at);
    if (at < line.size() && line[at] == '{') {
        for (++at;;) {
            SkipBlanks(line, at);
            if (at < line.size() && line[at] == '}') break;
            const std::size_t length = NameLength(line, at, false);
            if (length == 0) Malformed("a label without a name");
            std::string name = line.substr(at, length), value;
            at += length;
            SkipBlanks(line, at);
            if (at == line.size() || line[at] != '=') Malformed("label " + name + " without =");
            SkipBlanks(line, ++at);
            if (at == line.size() || line[at] != '"') Malformed("label " + name + " unquoted");
            for (++at; at < line.size() && line[at] != '"'; ++at) {
                if (line[at] != '\\') {
                    value += line[at];
                } else if (++at < line.size() && (line[at] == '\\' || line[at] == '"')) {
                    value += line[at];
                } else if (at < line.size() && line[at] == 'n') {
                    value += '\n';
                } else {
                    Malformed("label " + name + " has an unknown escape");
                }
            }
            if (at++ == line.size()) Malformed("label " + name + " has no closing quote");
            sample.labels.emplace_back(std::move(name), std::move(value));
            SkipBlanks(line, at);
            if (at < line.size() && line[at] == ',')
                ++at;
            else if (at >= line.size() || line[at] != '}')
                Malformed("labels without a closing }");
        }
        ++at;
    }
    sample.value = Word(line, at);
    if (!IsNumber(sample.value, false))
        Malformed(sample.name + " has no number for a value: '" + sample.value + "'");
    const std::string timestamp = Word(line, at);
    if (!timestamp.empty() && !IsNumber(timestamp, true))
        Malformed(sample.name + " has a malformed timestamp '" + timestamp + "'");
    if (!Word(line, at).empty()) Malformed(sample.name + " has more after its timestamp");
    return sample;
}

struct Family {
    std::string name, type = "untyped";
    std::vector<StatsRow> rows;  // its samples, a histogram's count and sum aside
    struct Series {
        Labels labels;
        std::optional<std::string> count, sum;
    };
    std::vector<Series> series;  // a histogram's, in the order they appear
    std::map<Labels, std::size_t> seriesAt;
};

std::string Mean(const std::string& sum, const std::string& count) {
    const double n = std::strtod(count.c_str(), nullptr);
    if (n == 0) return "-";
    char text[40];
    std::snprintf(text, sizeof text, "%.6g", std::strtod(sum.c_str(), nullptr) / n);
    return text;
}

// The families of one scrape, in the order the host wrote them.
class Scrape {
public:
    // A comment line from just after its '#' (`at`): TYPE and HELP name a family, TYPE gives
    // its type; other comments are skipped.
    void ReadComment(const std::string& line, std::size_t at) {
        const std::string keyword = Word(line, at);
        if (keyword != "TYPE" && keyword != "HELP") return;
        const std::string name = Word(line, at);
        if (name.empty() || NameLength(name, 0, true) != name.size())
            Malformed(keyword + " without a metric name");
        Family& family = Named(name);
        if (keyword == "HELP") return;
        family.type = Word(line, at);
        static const std::regex types("counter|gauge|histogram|summary|untyped");
        if (!std::regex_match(family.type, types))
            Malformed("unknown type '" + family.type + "' of " + name);
    }

    // Files a sample under its family: a row of its own, or a histogram series' count or sum.
    void Add(Sample sample) {
        const std::string suffix = FamilySuffix(sample.name);
        Family& family = Named(sample.name.substr(0, sample.name.size() - suffix.size()));
        if (family.type != "histogram" || suffix.empty() || suffix == "_total") {
            family.rows.push_back({sample.name, std::move(sample.labels), sample.value});
            return;
        }
        if (suffix == "_bucket") return;
        const auto [found, added] = family.seriesAt.emplace(sample.labels, family.series.size());
        if (added) family.series.push_back({sample.labels, {}, {}});
        (suffix == "_count" ? family.series[found->second].count
                            : family.series[found->second].sum) = sample.value;
    }

    // The table's rows, family by family: its samples, then per histogram series its count,
    // its sum and their mean.
    std::vector<StatsRow> Rows() {
        std::vector<StatsRow> rows;
        for (Family& family : m_families) {
            std::move(family.rows.begin(), family.rows.end(), std::back_inserter(rows));
            for (const Family::Series& s : family.series) {
                if (s.count) rows.push_back({family.name + "_count", s.labels, *s.count});
                if (s.sum) rows.push_back({family.name + "_sum", s.labels, *s.sum});
                if (s.count && s.sum)
                    rows.push_back({family.name + ":mean", s.labels, Mean(*s.sum, *s.count)});
            }
        }
        return rows;
    }

private:
    Family& Named(const std::string& name) {
        const auto [found, added] = m_familyAt.emplace(name, m_families.size());
        if (added) m_families.emplace_back().name = name;
        return m_families[found->second];
    }

    // A histogram's _bucket, _count and _sum (a summary's _count and _sum, an OpenMetrics
    // counter's _total) belong to the family their TYPE named: the suffix that leads there, or
    // "" for a sample named after its own family.
    std::string FamilySuffix(const std::string& name) const {
        std::string suffix;
        if (m_familyAt.count(name)) return suffix;
        for (const char* end : {"_bucket", "_count", "_sum", "_total"}) {
            if (!EndsWith(name, end)) continue;
            const auto base = m_familyAt.find(name.substr(0, name.size() - std::strlen(end)));
            if (base != m_familyAt.end() && m_families[base->second].type != "untyped" &&
                m_families[base->second].type != "gauge")
                suffix = end;
        }
        return suffix;
    }

    std::vector<Family> m_families;
    std::map<std::string, std::size_t> m_familyAt;
};

// ---- the URL and the exchange ----

struct StatsUrl {
    std::string host;     // for the resolver: an IPv6 address without its brackets
    std::string port;     // 1..65535
    std::string address;  // HOST:PORT as given: messages and the Host field
    std::string path;     // with its query, without a fragment
};

StatsUrl ParseStatsUrl(const std::string& text) {
    const auto bad = [&text]() {
        UsageError("stats wants http://HOST:PORT[/PATH] or HOST:PORT, not '" + text + "'");
    };
    std::string rest = text;
    if (const std::size_t scheme = text.find("://"); scheme != std::string::npos) {
        const std::string name = Lower(text.substr(0, scheme));
        if (name == "https") UsageError("stats speaks plain http only, not https: '" + text + "'");
        if (name != "http") bad();
        rest = text.substr(scheme + 3);
    }
    StatsUrl url;
    const std::size_t slash = rest.find('/');
    url.address = rest.substr(0, slash);
    url.path = slash == std::string::npos ? "/metrics" : rest.substr(slash, rest.find('#') - slash);
    for (const char c : url.path)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f) bad();
    static const std::regex name("[A-Za-z0-9._-]+:([0-9]{1,5})");
    static const std::regex bracketed("\\[([0-9A-Fa-f:.]+)\\]:([0-9]{1,5})");
    std::smatch m;
    if (std::regex_match(url.address, m, bracketed)) {
        url.host = m[1];
        url.port = m[2];
    } else if (std::regex_match(url.address, m, name)) {
        url.host = url.address.substr(0, url.address.rfind(':'));
        url.port = m[1];
    } else {
        bad();
    }
    const int port = std::stoi(url.port);
    if (port < 1 || port > 65535) bad();
    return url;
}

class Socket {
public:
    explicit Socket(int fd = -1) : m_fd(fd) {}
    ~Socket() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    void Swap(Socket& other) { std::swap(m_fd, other.m_fd); }
    int Fd() const { return m_fd; }

private:
    int m_fd;
};

// True once `fd` shows one of `events` (or an error, which the next call reports); false when
// `deadline` passes first.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd polled{fd, events, 0};
        const int ready = ::poll(&polled, 1, static_cast<int>(left.count()));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return true;
    }
}

// The messages of a failed exchange with one address, and the time it must be done by.
struct Exchange {
    Clock::time_point deadline;
    std::string cannot;  // "cannot reach ADDRESS: ", the start of each failure's message
    std::string late;    // the failure when the deadline passes
};

// `socket` connected to the first of url's addresses that takes the connection, within the
// deadline.
void Connect(const StatsUrl& url, const Exchange& exchange, Socket& socket) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int failed = ::getaddrinfo(url.host.c_str(), url.port.c_str(), &hints, &found))
        Fail(kExitUnavailable, exchange.cannot + ::gai_strerror(failed));
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);

    std::string cause = "no address";
    for (const addrinfo* a = found; a && socket.Fd() < 0; a = a->ai_next) {
        Socket trying(
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        int error = trying.Fd() < 0 ? errno : 0;
        if (!error && ::connect(trying.Fd(), a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                if (!WaitFor(trying.Fd(), POLLOUT, exchange.deadline))
                    Fail(kExitUnavailable, exchange.late);
                socklen_t length = sizeof error;
                if (::getsockopt(trying.Fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = errno;
            }
        }
        if (error)
            cause = std::strerror(error);
        else
            socket.Swap(trying);
    }
    if (socket.Fd() < 0) Fail(kExitUnavailable, exchange.cannot + cause);
}

// Sends the GET of url.path, whole, within the deadline.
void SendRequest(const Socket& socket, const StatsUrl& url, const Exchange& exchange) {
    const std::string request = "GET " + url.path + " HTTP/1.1\r\nHost: " + url.address +
                                "\r\nAccept: text/plain\r\nUser-Agent: velcache-stats\r\n"
                                "Connection: close\r\n\r\n";
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n =
            ::send(socket.Fd(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!WaitFor(socket.Fd(), POLLOUT, exchange.deadline))
                Fail(kExitUnavailable, exchange.late);
        } else if (errno != EINTR) {
            Fail(kExitUnavailable, exchange.cannot + std::strerror(errno));
        }
    }
}

// Receives until the answer is whole (or the connection ends), within the deadline.
HttpAnswer ReceiveAnswer(const Socket& socket, const StatsUrl& url, const Exchange& exchange) {
    std::string received;
    std::vector<char> chunk(65536);
    for (;;) {
        const ssize_t n = ::recv(socket.Fd(), chunk.data(), chunk.size(), 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(socket.Fd(), POLLIN, exchange.deadline))
                Fail(kExitUnavailable, exchange.late);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail(kExitUnavailable, exchange.cannot + std::strerror(errno));
        received.append(chunk.data(), static_cast<std::size_t>(n));
        try {
            if (std::optional<HttpAnswer> answer = ReadHttpAnswer(received, n == 0))
                return std::move(*answer);
        } catch (const std::runtime_error& e) {
            Fail(kExitUnavailable,
                 url.address + " sent an answer the tool cannot read: " + e.what());
        }
    }
}

// The answer to GET url.path. kExitUnavailable, naming the address, when the host cannot be
// reached, is too slow, or sends an answer that cannot be read.
HttpAnswer Fetch(const StatsUrl& url, std::chrono::milliseconds timeout) {
    Exchange exchange;
    exchange.deadline = Clock::now() + timeout;
    exchange.cannot = "cannot reach " + url.address + ": ";
    exchange.late = exchange.cannot + "timed out after " + std::to_string(timeout.count()) + " ms";
    Socket socket;
    Connect(url, exchange, socket);
    SendRequest(socket, url, exchange);
    return ReceiveAnswer(socket, url, exchange);
}

// A label value as an operator reads it: bare, or quoted and escaped when it is empty or holds
// a separator.
std::string ShownValue(const std::string& value) {
    if (!value.empty() && value.find_first_of(",= \t\"\\\n") == std::string::npos) return value;
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return quoted + "\"";
}

std::string LabelText(const Labels& labels) {
    std::string text;
    for (const auto& [name, value] : labels)
        text += (text.empty() ? "" : ",") + name + "=" + ShownValue(value);
    return text.empty() ? "-" : text;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
            out += code;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// A value as JSON: the number as written when JSON reads it so, else as %.17g; a string for
// NaN and the infinities, null for a mean of nothing.
std::string JsonValue(const std::string& value) {
    if (value == "-") return "null";
    static const std::regex number("-?(0|[1-9][0-9]*)(\\.[0-9]+)?([eE][+-]?[0-9]+)?");
    const double parsed = std::strtod(value.c_str(), nullptr);
    if (!std::isfinite(parsed)) return JsonString(value);
    if (std::regex_match(value, number)) return value;
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", parsed);
    return text;
}

std::string Table(const std::vector<StatsRow>& rows) {
    std::size_t metricWidth = 6, labelsWidth = 6;  // "metric", "labels"
    for (const StatsRow& row : rows) {
        metricWidth = std::max(metricWidth, row.metric.size());
        labelsWidth = std::max(labelsWidth, LabelText(row.labels).size());
    }
    const auto line = [&](const std::string& metric, const std::string& labels,
                          const std::string& value) {
        return metric + std::string(metricWidth - metric.size() + 2, ' ') + labels +
               std::string(labelsWidth - labels.size() + 2, ' ') + value + "\n";
    };
    std::string out = line("metric", "labels", "value");
    for (const StatsRow& row : rows) out += line(row.metric, LabelText(row.labels), row.value);
    return out;
}

std::string JsonLines(const std::vector<StatsRow>& rows) {
    std::string out;
    for (const StatsRow& row : rows) {
        std::string labels;
        for (const auto& [name, value] : row.labels)
            labels += (labels.empty() ? "" : ", ") + JsonString(name) + ": " + JsonString(value);
        out += "{\"metric\": " + JsonString(row.metric) + ", \"labels\": {" + labels +
               "}, \"value\": " + JsonValue(row.value) + "}\n";
    }
    return out;
}

// ---- the answer ----

// What an answer's head says: its status, and how its body is delimited.
struct AnswerHead {
    HttpAnswer answer;  // status and reason; the body comes later
    std::optional<std::size_t> length;
    bool chunked = false;
};

// "HTTP/1.x NNN reason", the first line of the head.
void ReadStatusLine(const std::string& line, HttpAnswer& answer) {
    static const std::regex status("HTTP/1\\.[0-9] ([1-9][0-9]{2})(?: (.*))?");
    std::smatch m;
    if (!std::regex_match(line, m, status)) Malformed("not an HTTP/1.x answer");
    answer.status = std::stoi(m[1]);
    answer.reason = m[2];
}

// One header field; only those that delimit or encode the body matter.
void ReadHeaderField(const std::string& line, AnswerHead& head) {
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos || line.find_first_of(" \t") < colon)
        Malformed("malformed header field '" + line + "'");
    const std::string name = Lower(line.substr(0, colon));
    const std::string value = Lower(Trim(line.substr(colon + 1)));
    if (name == "content-length") {
        if (value.empty() || value.size() > 12 ||
            value.find_first_not_of("0123456789") != std::string::npos ||
            (head.length && *head.length != std::stoull(value)))
            Malformed("malformed Content-Length '" + value + "'");
        head.length = std::stoull(value);
        if (*head.length > kMaxStatsBody) Malformed("a body over 16 MiB");
    } else if (name == "transfer-encoding" && value != "identity") {
        if (value != "chunked") Malformed("transfer encoding '" + value + "' (only chunked)");
        head.chunked = true;
    } else if (name == "content-encoding" && value != "identity") {
        Malformed("content encoding '" + value + "'");
    }
}

// The head, received[0, headEnd): the status line, then the header fields.
AnswerHead ReadAnswerHead(const std::string& received, std::size_t headEnd) {
    AnswerHead head;
    std::size_t at = 0;
    for (bool first = true; at < headEnd; first = false) {
        const std::size_t eol = std::min(received.find('\n', at), headEnd);
        std::string line = received.substr(at, eol - at);
        at = eol + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (first)
            ReadStatusLine(line, head.answer);
        else
            ReadHeaderField(line, head);
    }
    if (head.answer.status == 0) Malformed("not an HTTP/1.x answer");
    return head;
}

// The body from bodyStart on, delimited as the head says; nullopt while more is to come.
std::optional<std::string> ReadBody(const std::string& received, std::size_t bodyStart,
                                    const AnswerHead& head, bool ended) {
    if (head.chunked) {
        if (!ended) return std::nullopt;
        return DecodeChunked(received, bodyStart);
    }
    if (head.length) {
        if (received.size() - bodyStart < *head.length) {
            if (!ended) return std::nullopt;
            Malformed("the connection ended inside the body");
        }
        return received.substr(bodyStart, *head.length);
    }
    if (!ended) return std::nullopt;
    return received.substr(bodyStart);
}

}  // namespace

std::optional<HttpAnswer> ReadHttpAnswer(const std::string& received, bool ended) {
    if (received.size() > kMaxStatsBody) Malformed("an answer over 16 MiB");
    const std::size_t crlf = received.find("\r\n\r\n"), lf = received.find("\n\n");
    const std::size_t headEnd = std::min(crlf, lf);
    if (headEnd == std::string::npos || headEnd > kMaxHead) {
        if (received.size() > kMaxHead) Malformed("an answer head over 64 KiB");
        if (!ended) return std::nullopt;
        Malformed(received.empty() ? "the connection closed without an answer"
                                   : "the connection ended inside the answer's head");
    }
    const std::size_t bodyStart = headEnd + (headEnd == crlf ? 4 : 2);
    AnswerHead head = ReadAnswerHead(received, headEnd);
    std::optional<std::string> body = ReadBody(received, bodyStart, head, ended);
    if (!body) return std::nullopt;
    head.answer.body = std::move(*body);
    return std::move(head.answer);
}

std::vector<StatsRow> ParseScrape(const std::string& text) {
    Scrape scrape;
    std::size_t number = 0;
    for (std::size_t at = 0; at < text.size(); ++number) {
        const std::size_t eol = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, eol - at);
        at = eol + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        try {
            std::size_t word = 0;
            SkipBlanks(line, word);
            if (word == line.size()) continue;
            if (line[word] == '#')
                scrape.ReadComment(line, word + 1);
            else
                scrape.Add(ReadSample(line.substr(word)));
        } catch (const std::runtime_error& e) {
            Malformed("line " + std::to_string(number + 1) + ": " + e.what());
        }
    }
    return scrape.Rows();
}

int RunStatsCommand(const std::vector<std::string>& argv) {
    const Args args(argv, {"--filter", "--timeout-ms"}, {"--json", "--help"});
    if (args.Has("--help")) {
        std::fputs(kStatsUsage, stdout);
        return kExitOk;
    }
    args.ExpectPositional(1, "URL");
    const StatsUrl url = ParseStatsUrl(args.Positional().front());
    const std::string timeout = args.Get("--timeout-ms", "2000");
    static const std::regex millis("[0-9]{1,7}");
    if (!std::regex_match(timeout, millis) || std::stol(timeout) < 1 ||
        std::stol(timeout) > 3600000)
        UsageError("--timeout-ms takes milliseconds from 1 to 3600000, not '" + timeout + "'");

    const HttpAnswer answer = Fetch(url, std::chrono::milliseconds(std::stol(timeout)));
    if (answer.status != 200)
        Fail(kExitUnavailable, url.address + " answered " + std::to_string(answer.status) + " " +
                                   answer.reason + " to GET " + url.path);
    std::vector<StatsRow> rows;
    try {
        rows = ParseScrape(answer.body);
    } catch (const std::runtime_error& e) {
        Fail(kExitUnavailable,
             url.address + url.path + " did not answer metrics text: " + e.what());
    }
    const std::string filter = args.Get("--filter");
    std::erase_if(
        rows, [&](const StatsRow& row) { return row.metric.find(filter) == std::string::npos; });
    const std::string out = args.Has("--json") ? JsonLines(rows) : Table(rows);
    WriteAllBytes("", std::vector<unsigned char>(out.begin(), out.end()));
    return kExitOk;
}

}  // namespace velcli
