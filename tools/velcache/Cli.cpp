#include "Cli.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisProbe.h"

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

namespace {

using velmora::caching::RedisNodeAddress;

// The first reply to `command` that is not an error, asking each of `nodes` in turn, and in
// `answered` the node that gave it; a Nil reply when none did, `problem` saying why.
velmora::caching::RedisReplyValue AskFirstAnswering(
    const velmora::caching::RedisEndpointConfig& config, const std::vector<RedisNodeAddress>& nodes,
    const std::vector<std::string>& command, RedisNodeAddress& answered, std::string& problem) {
    for (const RedisNodeAddress& node : nodes) {
        velmora::caching::RedisEndpointConfig single = config;
        single.mode = velmora::caching::RedisMode::SingleServer;
        single.clusterNodes.clear();
        single.host = node.host;
        single.port = node.port;
        try {
            velmora::caching::RedisConnection connection(single);
            velmora::caching::RedisReplyValue reply = connection.Command(command);
            answered = node;
            if (reply.type != velmora::caching::RedisReplyValue::Type::Error) return reply;
            problem = reply.text;
        } catch (const std::exception& e) {
            problem = e.what();
        }
    }
    return {};
}

}  // namespace

RedisTarget ParseRedisTarget(const Args& args, const std::string& fallback) {
    if (args.Has("--redis") && args.Has("--redis-cluster"))
        UsageError("give --redis or --redis-cluster, not both");
    const bool cluster = args.Has("--redis-cluster");
    RedisTarget target;
    target.address = cluster ? args.Get("--redis-cluster") : args.Get("--redis", fallback);
    target.nodes = RedisNodeAddress::ParseList(target.address);
    if (target.nodes.empty() || (!cluster && target.nodes.size() > 1))
        UsageError(std::string(cluster ? "--redis-cluster wants HOST:PORT[,HOST:PORT...]"
                                       : "--redis wants HOST:PORT") +
                   ", not '" + target.address + "'");
    target.config.host = target.nodes.front().host;
    target.config.port = target.nodes.front().port;
    if (cluster) {
        target.config.mode = velmora::caching::RedisMode::Cluster;
        for (const RedisNodeAddress& node : target.nodes)
            target.config.clusterNodes.push_back(node.ToString());
    }
    if (args.Has("--user")) target.config.user = args.Get("--user");
    // From a file, never from the command line, where every user of the machine sees it.
    if (args.Has("--password-file")) target.passwordFile = args.Get("--password-file");
    target.config.tls = args.Has("--tls");
    if (!target.config.tls && (args.Has("--cacert") || args.Has("--cert") || args.Has("--key")))
        UsageError("--cacert, --cert and --key go with --tls");
    if (args.Has("--cert") != args.Has("--key")) UsageError("--cert and --key go together");
    target.config.tlsCaFile = args.Get("--cacert");
    target.config.tlsCertFile = args.Get("--cert");
    target.config.tlsKeyFile = args.Get("--key");
    target.config.poolSize = 2;
    target.config.connectTimeout = std::chrono::milliseconds(2000);
    // Values of many megabytes travel in one command.
    target.config.commandTimeout = std::chrono::milliseconds(30000);
    return target;
}

void ReadPasswordFile(RedisTarget& target) {
    if (!target.passwordFile) return;
    const std::vector<unsigned char> bytes = ReadAllBytes(*target.passwordFile);
    std::string password(bytes.begin(), bytes.end());
    while (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
        password.pop_back();
    if (password.empty()) UsageError("--password-file names an empty file");
    target.config.password = password;
}

std::vector<RedisNodeAddress> CheckRedisReachable(const RedisTarget& target) {
    using velmora::caching::RedisReplyValue;
    const bool cluster = target.config.mode == velmora::caching::RedisMode::Cluster;
    const std::vector<RedisNodeAddress>& nodes = target.nodes;
    if (!cluster) {
        // The library's own check, in the same words as a coherence service that cannot start.
        const std::string cause = velmora::caching::ProbeRedis(target.config);
        if (cause.empty()) return nodes;
        Fail(kExitUnavailable, "cannot reach Redis at " + target.address + ": " + cause);
    }
    std::string problem = "no answer";
    RedisNodeAddress answered;
    const RedisReplyValue reply =
        AskFirstAnswering(target.config, nodes, {"CLUSTER", "SLOTS"}, answered, problem);
    if (reply.type == RedisReplyValue::Type::Array) {
        try {
            const auto masters =
                velmora::caching::RedisSlotMap::FromClusterSlots(reply, answered.host).Masters();
            if (!masters.empty()) return masters;
            problem = "no node serves a slot yet";
        } catch (const std::exception& e) {
            problem = e.what();
        }
    } else if (reply.type != RedisReplyValue::Type::Nil) {
        problem = "unexpected reply: " + reply.text;
    }
    Fail(kExitUnavailable, "cannot reach Redis cluster at " + target.address + ": " + problem);
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
        velmora::TMutexLock hold(m_mutex);
        for (int tick = 1;; ++tick) {
            if (m_wake.wait_until(hold.Native(), m_start + std::chrono::seconds(tick),
                                  [this]() VEL_REQUIRES(m_mutex) { return m_stop; }))
                return;
            std::fprintf(stderr, "%s: %lld so far (%d s)\n", m_what.c_str(), m_count.load(), tick);
            m_printed = true;
        }
    });
}

ProgressLine::~ProgressLine() {
    {
        velmora::TMutexLock hold(m_mutex);
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
