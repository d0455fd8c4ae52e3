// velcache ec put|get|ls|drop: an external cache seen through the library's own disk and Redis
// caches, so the tool reads and writes exactly the layout and keys the hosts use.
//
// The tool is a host like any other: it sets the options it needs (no lower bound on the cost
// of a value, no size limit on keys and values, generous time-outs: an operator's value is
// stored whatever it is), and reads each operation's result from the operation's own log line
// ("ec-store", "ec-load", "ec-drop" and their outcome). Backend problems that the caches log and
// swallow (a disk write that failed, say) turn into exit status 3 with the logged text.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

#include "Cli.h"
#include "caching/DiskExternalCache.h"
#include "caching/GuardedExecution.h"
#include "caching/RedisExternalCache.h"
#include "velcore/AppConfig.h"
#include "velcore/AppOptions.h"
#include "velcoreplatform/TLog.h"
#include "velredis/RedisConnectionPool.h"
#include "velsys/Locks.h"

using velmora::ILogSink;
using velmora::LogRecord;
using velmora::TMutex;
using velmora::TMutexLock;

namespace velcli {

using velmora::caching::ExternalBytes;
namespace fs = std::filesystem;

namespace {

using Cache = velmora::caching::ExternalCache<TString, ExternalBytes>;

// The outcome of the last guarded operation and every warning logged meanwhile. Lines arrive
// on the cache's task threads: safe for concurrent use.
class OperationLog : public ILogSink {
public:
    bool Accepts(int severity, int) const override { return severity >= TLog::Info; }
    void Write(const LogRecord& record) override {
        TMutexLock hold(m_mutex);
        const std::string message = record.message.toStdString();
        if (message.rfind("ec-", 0) == 0) {
            m_outcome = Attribute(record, "outcome");
            m_problem = Attribute(record, "problem");
        }
        if (record.severity >= TLog::Warn) {
            const std::string exception = Attribute(record, "exception");
            m_warnings += (m_warnings.empty() ? "" : "; ") + message +
                          (exception.empty() ? "" : " (" + exception + ")");
        }
    }

    // Fails with kExitUnavailable unless the operation ended with `expected` and logged no
    // warning; returns the outcome otherwise.
    std::string Check(const std::string& what, std::initializer_list<const char*> expected) {
        TMutexLock hold(m_mutex);
        const bool asExpected = std::any_of(
            expected.begin(), expected.end(),
            [this](const char* outcome) VEL_REQUIRES(m_mutex) { return m_outcome == outcome; });
        if (asExpected && m_warnings.empty()) return m_outcome;
        std::string reason = m_warnings;
        if (reason.empty() && m_outcome == "jam") reason = "the concurrency limit refused it";
        if (reason.empty() && m_problem == "timeout") reason = "it timed out";
        if (reason.empty() && m_problem == "exception") reason = "the backend raised an error";
        if (reason.empty()) reason = "outcome '" + m_outcome + "'";
        Fail(kExitUnavailable, "could not " + what + ": " + reason);
    }

private:
    static std::string Attribute(const LogRecord& record, const char* name) {
        const auto found = record.attributes.find(TString(name));
        return found == record.attributes.end() ? "" : found->second.toStdString();
    }

    TMutex m_mutex;
    std::string m_outcome VEL_GUARDED_BY(m_mutex);
    std::string m_problem VEL_GUARDED_BY(m_mutex);
    std::string m_warnings VEL_GUARDED_BY(m_mutex);
};

// A key and its value's size in bytes (-1: not a plain value).
using Listing = std::vector<std::pair<std::string, long long>>;

struct Backend {
    std::shared_ptr<Cache> cache;
    std::string where;                           // for messages: "disk DIR/...", "Redis H:P"...
    std::function<Listing(ProgressLine&)> list;  // every key of the namespace
};

void ConfigureHost() {
    using velmora::appoptions::Set;
    Set("ExternalCacheLowerBoundLatencyMs", 0);
    Set("ExternalCacheUpperBoundKeySizeB", INT_MAX);
    Set("ExternalCacheUpperBound2SizeMb", INT_MAX);
    Set("ExternalCacheStoreTimeoutMs", 60000);
    Set("ExternalCacheDropTimeoutMs", 60000);
    Set("ExternalCacheConcurrencyTimeoutMs", 5000);
}

void CheckDirectory(const fs::path& dir, int accessMode, bool mustExist) {
    std::error_code error;
    const bool exists = fs::exists(dir, error);
    if (!exists && !mustExist) return;
    std::string problem;
    if (!exists)
        problem = "no such directory";
    else if (!fs::is_directory(dir, error))
        problem = "not a directory";
    else if (::access(dir.c_str(), accessMode) != 0)
        problem = std::strerror(errno);
    if (!problem.empty())
        Fail(kExitUnavailable, "cannot use directory '" + dir.string() + "': " + problem);
}

Backend OpenDisk(const std::string& dir, const TString& ns, bool writes) {
    const int mode = R_OK | X_OK | (writes ? W_OK : 0);
    CheckDirectory(dir, mode, true);
    // The hosts' own derivation: <external cache directory>/ExternalCacheV1/<namespace>.
    AppConfig::GetInstance().SetExternalCacheDir(TString::fromStdString(dir));
    // No sweeper: the tool never deletes entries to make room.
    auto cache = std::make_shared<velmora::caching::DiskExternalCache>(ns, nullptr);
    const fs::path root = cache->GetCachePath().Native();
    CheckDirectory(root, mode, false);
    CheckDirectory(root.parent_path(), mode, false);

    Backend backend{cache, "disk " + root.string(), nullptr};
    backend.list = [cache, root](ProgressLine& progress) {
        Listing listing;
        for (const TString& key : cache->TryGetAllKeys()) {
            const fs::path value =
                root / velmora::caching::ExternalCacheKeyHash(key).toStdString() / ".bin";
            std::error_code error;
            const auto size = fs::file_size(value, error);
            listing.emplace_back(key.toStdString(), error ? -1 : static_cast<long long>(size));
            progress.Count();
        }
        return listing;
    };
    return backend;
}

// `text` with the glob characters of Redis patterns escaped.
std::string GlobEscape(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// The value sizes of `keys` in one round trip; -1 for keys that do not hold a plain value.
std::vector<long long> ValueSizes(velmora::caching::RedisConnection& connection,
                                  const std::vector<std::string>& keys,
                                  std::chrono::milliseconds timeout) {
    using velmora::caching::RedisReplyValue;
    std::vector<std::vector<std::string>> commands;
    for (const std::string& key : keys) commands.push_back({"STRLEN", key});
    std::vector<long long> sizes;
    for (const RedisReplyValue& size :
         connection.Pipeline(commands, std::chrono::steady_clock::now() + timeout))
        sizes.push_back(size.type == RedisReplyValue::Type::Integer ? size.integer : -1);
    return sizes;
}

// Every key of the namespace on one node (a server, or a master of a cluster).
void ListNode(const velmora::caching::RedisEndpointConfig& config,
              const velmora::caching::RedisNodeAddress& node, const std::string& prefix,
              std::set<std::string>& seen, Listing& listing, ProgressLine& progress) {
    using velmora::caching::RedisReplyValue;
    velmora::caching::RedisEndpointConfig single = config;
    single.mode = velmora::caching::RedisMode::SingleServer;
    single.host = node.host;
    single.port = node.port;
    velmora::caching::RedisConnection connection(single);
    std::string cursor = "0";
    do {
        const RedisReplyValue reply = connection.Command(
            {"SCAN", cursor, "MATCH", GlobEscape(prefix) + "*", "COUNT", "1000"});
        if (reply.type != RedisReplyValue::Type::Array || reply.elements.size() != 2)
            Fail(kExitUnavailable, "unexpected reply to SCAN from " + node.ToString() + ": " +
                                       (reply.text.empty() ? "not a list" : reply.text));
        cursor = reply.elements[0].text;
        std::vector<std::string> keys;
        for (const RedisReplyValue& key : reply.elements[1].elements)
            if (seen.insert(key.text).second) keys.push_back(key.text);
        if (keys.empty()) continue;
        const std::vector<long long> sizes = ValueSizes(connection, keys, config.commandTimeout);
        for (std::size_t i = 0; i < keys.size(); ++i)
            listing.emplace_back(keys[i].substr(prefix.size()), sizes[i]);
        progress.Count(static_cast<long long>(keys.size()));
    } while (cursor != "0");
}

Backend OpenRedis(const RedisTarget& target, const TString& ns) {
    const std::vector<velmora::caching::RedisNodeAddress> nodes = CheckRedisReachable(target);
    auto pool = std::make_shared<velmora::caching::RedisConnectionPool>(target.config);
    const bool cluster = target.config.mode == velmora::caching::RedisMode::Cluster;
    Backend backend{std::make_shared<velmora::caching::RedisExternalCache>(ns, pool),
                    std::string(cluster ? "Redis cluster " : "Redis ") + target.address, nullptr};
    const std::string prefix = ns.toStdString() + ":";
    backend.list = [config = target.config, nodes, prefix](ProgressLine& progress) {
        std::set<std::string> seen;  // SCAN may return a key more than once
        Listing listing;
        for (const auto& node : nodes) ListNode(config, node, prefix, seen, listing, progress);
        return listing;
    };
    return backend;
}

}  // namespace

int RunExternalCacheCommand(const CommandLine& line) {
    const std::string& sub = line.sub;
    const TString ns = TString::fromStdString(line.ns);

    ConfigureHost();
    auto log = std::make_shared<OperationLog>();
    const std::shared_ptr<ILogSink> previousSink = TLog::SetSink(log);
    std::optional<RedisTarget> redis = line.redis;
    if (redis) ReadPasswordFile(*redis);
    const Backend backend =
        redis ? OpenRedis(*redis, ns) : OpenDisk(line.dir, ns, sub == "put" || sub == "drop");

    if (sub == "ls") {
        Listing listing;
        {
            ProgressLine progress("velcache ec ls: keys listed");
            listing = backend.list(progress);
        }
        std::sort(listing.begin(), listing.end());
        std::string text;
        for (const auto& [key, size] : listing)
            text += (size < 0 ? std::string("-") : std::to_string(size)) + "\t" + key + "\n";
        WriteAllBytes("", std::vector<unsigned char>(text.begin(), text.end()));
        return kExitOk;
    }

    const std::string& keyText = line.key;
    const TString key = TString::fromStdString(keyText);
    const std::string named =
        "key '" + keyText + "' (namespace " + ns.toStdString() + ", " + backend.where + ")";
    if (sub == "put") {
        auto value = std::make_shared<ExternalBytes>(ReadAllBytes(line.in));
        backend.cache->TryStore(key, value, 0, -1).Get();
        log->Check("store " + named, {"done"});
        std::printf("stored %zu bytes under %s\n", value->size(), named.c_str());
    } else if (sub == "get") {
        const velmora::caching::ExternalBytesPtr value = backend.cache->TryLoad(key).Get();
        if (log->Check("load " + named, {"hit", "miss"}) == "miss" || !value)
            Fail(kExitNotFound, "not found: " + named);
        WriteAllBytes(line.out, *value);
    } else {
        backend.cache->TryDrop(key).Get();
        log->Check("drop " + named, {"done"});
        std::printf("dropped %s\n", named.c_str());
    }
    std::fflush(stdout);
    TLog::SetSink(previousSink);
    return kExitOk;
}

}  // namespace velcli
