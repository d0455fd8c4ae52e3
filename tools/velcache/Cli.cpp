#include "Cli.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "velredis/RedisConnectionPool.h"

namespace velcli {

Args::Args(const std::vector<std::string>& argv, const std::set<std::string>& valueOptions,
           const std::set<std::string>& flags) {
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& word = argv[i];
        if (word.size() < 2 || word.compare(0, 2, "--") != 0) {
            m_positional.push_back(word);
            continue;
        }
        if (m_values.count(word)) UsageError(word + " given twice");
        if (flags.count(word)) {
            m_values[word] = "";
        } else if (valueOptions.count(word)) {
            if (i + 1 == argv.size()) UsageError(word + " needs a value");
            m_values[word] = argv[++i];
        } else {
            UsageError("unknown option " + word);
        }
    }
}

std::string Args::Get(const std::string& name, const std::string& fallback) const {
    const auto found = m_values.find(name);
    return found == m_values.end() ? fallback : found->second;
}

std::string Args::Require(const std::string& name) const {
    const std::string value = Get(name);
    if (value.empty()) UsageError(name + " is required");
    return value;
}

void Args::ExpectPositional(std::size_t count, const std::string& what) const {
    if (m_positional.size() < count) UsageError("missing " + what);
    if (m_positional.size() > count)
        UsageError("unexpected argument '" + m_positional[count] + "'");
}

velmora::caching::RedisEndpointConfig ParseRedisAddress(const std::string& address) {
    const std::size_t colon = address.rfind(':');
    const std::string host = colon == std::string::npos ? "" : address.substr(0, colon);
    const std::string port = colon == std::string::npos ? "" : address.substr(colon + 1);
    const bool digits =
        !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == port.npos;
    if (host.empty() || !digits || std::stoi(port) < 1 || std::stoi(port) > 65535)
        UsageError("--redis wants HOST:PORT, not '" + address + "'");
    velmora::caching::RedisEndpointConfig config;
    config.host = host;
    config.port = std::stoi(port);
    config.poolSize = 2;
    config.connectTimeout = std::chrono::milliseconds(2000);
    // Values of many megabytes travel in one command.
    config.commandTimeout = std::chrono::milliseconds(30000);
    return config;
}

void CheckRedisReachable(const velmora::caching::RedisEndpointConfig& config,
                         const std::string& address) {
    std::string problem;
    try {
        velmora::caching::RedisConnection connection(config);
        const velmora::caching::RedisReplyValue reply = connection.Command({"PING"});
        if (reply.text == "PONG") return;
        problem = reply.text.empty() ? "unexpected reply to PING" : reply.text;
    } catch (const std::exception& e) {
        problem = e.what();
    }
    Fail(kExitUnavailable, "cannot reach Redis at " + address + ": " + problem);
}

std::vector<unsigned char> ReadAllBytes(const std::string& path) {
    std::FILE* in = path.empty() ? stdin : std::fopen(path.c_str(), "rb");
    if (!in) Fail(kExitUnavailable, "cannot read '" + path + "': " + std::strerror(errno));
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    const bool failed = std::ferror(in) != 0;
    const int error = errno;
    if (in != stdin) std::fclose(in);
    if (failed)
        Fail(kExitUnavailable, "cannot read '" + (path.empty() ? "standard input" : path) +
                                   "': " + std::strerror(error));
    return bytes;
}

void WriteAllBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    const std::string name = path.empty() ? "standard output" : "'" + path + "'";
    std::FILE* out = path.empty() ? stdout : std::fopen(path.c_str(), "wb");
    if (!out) Fail(kExitUnavailable, "cannot write " + name + ": " + std::strerror(errno));
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    const bool flushed = std::fflush(out) == 0;
    const int error = errno;
    const bool closed = out == stdout || std::fclose(out) == 0;
    if (!written || !flushed || !closed)
        Fail(kExitUnavailable, "cannot write " + name + ": " + std::strerror(error));
}

ProgressLine::ProgressLine(std::string what)
    : m_what(std::move(what)), m_start(std::chrono::steady_clock::now()) {
    m_thread = std::thread([this] {
        std::unique_lock<std::mutex> hold(m_mutex);
        for (int tick = 1;; ++tick) {
            if (m_wake.wait_until(hold, m_start + std::chrono::seconds(tick),
                                  [this] { return m_stop; }))
                return;
            std::fprintf(stderr, "%s: %lld so far (%d s)\n", m_what.c_str(), m_count.load(), tick);
            m_printed = true;
        }
    });
}

ProgressLine::~ProgressLine() {
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
    if (m_printed) {
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - m_start;
        std::fprintf(stderr, "%s: %lld in %.1f s\n", m_what.c_str(), m_count.load(), took.count());
    }
}

}  // namespace velcli
