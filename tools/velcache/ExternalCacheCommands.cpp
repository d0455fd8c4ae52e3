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
        std::lock_guard<std::mutex> hold(m_mutex);
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
        std::lock_guard<std::mutex> hold(m_mutex);
        const bool asExpected =
            std::any_of(expected.begin(), expected.end(),
                        [this](const char* outcome) { return m_outcome == outcome; });
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

    std::mutex m_mutex;
    // Guarded by m_mutex.
    std::string m_outcome;
    std::string m_problem;
    std::string m_warnings;
};

// A key and its value's size in bytes (-1: not a plain value).
using Listing = std::vector<std::pair<std::string, long long>>;

struct Backend {
    std::shared_ptr<Cache> cache;
    std::string where;                           // for messages: "disk DIR/..." or "Redis H:P"
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
                                  const std::vector<std::string>& keys) {
    using velmora::caching::RedisReplyValue;
    std::vector<std::string> command{
        "EVAL",
        "local r = {} for i, k in ipairs(KEYS) do local n = redis.pcall('STRLEN', k) "
        "if type(n) ~= 'number' then n = -1 end r[i] = n end return r",
        std::to_string(keys.size())};
    command.insert(command.end(), keys.begin(), keys.end());
    const RedisReplyValue reply = connection.Command(command);
    std::vector<long long> sizes;
    if (reply.type == RedisReplyValue::Type::Array && reply.elements.size() == keys.size()) {
        for (const RedisReplyValue& size : reply.elements) sizes.push_back(size.integer);
        return sizes;
    }
    // Scripting refused (disabled, say): one STRLEN per key.
    for (const std::string& key : keys) {
        const RedisReplyValue size = connection.Command({"STRLEN", key});
        sizes.push_back(size.type == RedisReplyValue::Type::Integer ? size.integer : -1);
    }
    return sizes;
}

Backend OpenRedis(const std::string& address, const TString& ns) {
    const velmora::caching::RedisEndpointConfig config = ParseRedisAddress(address);
    CheckRedisReachable(config, address);
    auto pool = std::make_shared<velmora::caching::RedisConnectionPool>(config);
    Backend backend{std::make_shared<velmora::caching::RedisExternalCache>(ns, pool),
                    "Redis " + address, nullptr};
    const std::string prefix = ns.toStdString() + ":";
    backend.list = [config, address, prefix](ProgressLine& progress) {
        using velmora::caching::RedisReplyValue;
        velmora::caching::RedisConnection connection(config);
        std::set<std::string> seen;  // SCAN may return a key more than once
        Listing listing;
        std::string cursor = "0";
        do {
            const RedisReplyValue reply = connection.Command(
                {"SCAN", cursor, "MATCH", GlobEscape(prefix) + "*", "COUNT", "1000"});
            if (reply.type != RedisReplyValue::Type::Array || reply.elements.size() != 2)
                Fail(kExitUnavailable, "unexpected reply to SCAN from " + address + ": " +
                                           (reply.text.empty() ? "not a list" : reply.text));
            cursor = reply.elements[0].text;
            std::vector<std::string> keys;
            for (const RedisReplyValue& key : reply.elements[1].elements)
                if (seen.insert(key.text).second) keys.push_back(key.text);
            if (keys.empty()) continue;
            const std::vector<long long> sizes = ValueSizes(connection, keys);
            for (std::size_t i = 0; i < keys.size(); ++i)
                listing.emplace_back(keys[i].substr(prefix.size()), sizes[i]);
            progress.Count(static_cast<long long>(keys.size()));
        } while (cursor != "0");
        return listing;
    };
    return backend;
}

}  // namespace

int RunExternalCacheCommand(const std::vector<std::string>& argv) {
    if (argv.empty()) UsageError("missing sub-command: put, get, ls or drop");
    const std::string sub = argv[0];
    if (sub == "--help" || sub == "help") {
        std::fputs(kExternalCacheUsage, stdout);
        return kExitOk;
    }
    if (sub != "put" && sub != "get" && sub != "ls" && sub != "drop")
        UsageError("unknown sub-command '" + sub + "'");
    std::set<std::string> valueOptions{"--ns", "--dir", "--redis"};
    if (sub == "put") valueOptions.insert("--in");
    if (sub == "get") valueOptions.insert("--out");
    const Args args(std::vector<std::string>(argv.begin() + 1, argv.end()), valueOptions,
                    {"--help"});
    if (args.Has("--help")) {
        std::fputs(kExternalCacheUsage, stdout);
        return kExitOk;
    }
    const TString ns = TString::fromStdString(args.Require("--ns"));
    if (args.Has("--dir") == args.Has("--redis")) UsageError("give either --dir or --redis");
    args.ExpectPositional(sub == "ls" ? 0 : 1, "KEY");

    ConfigureHost();
    auto log = std::make_shared<OperationLog>();
    const std::shared_ptr<ILogSink> previousSink = TLog::SetSink(log);
    const Backend backend = args.Has("--dir")
                                ? OpenDisk(args.Require("--dir"), ns, sub == "put" || sub == "drop")
                                : OpenRedis(args.Require("--redis"), ns);

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

    const std::string keyText = args.Positional()[0];
    const TString key = TString::fromStdString(keyText);
    const std::string named =
        "key '" + keyText + "' (namespace " + ns.toStdString() + ", " + backend.where + ")";
    if (sub == "put") {
        auto value = std::make_shared<ExternalBytes>(ReadAllBytes(args.Get("--in")));
        backend.cache->TryStore(key, value, 0, -1).Get();
        log->Check("store " + named, {"done"});
        std::printf("stored %zu bytes under %s\n", value->size(), named.c_str());
    } else if (sub == "get") {
        const velmora::caching::ExternalBytesPtr value = backend.cache->TryLoad(key).Get();
        if (log->Check("load " + named, {"hit", "miss"}) == "miss" || !value)
            Fail(kExitNotFound, "not found: " + named);
        WriteAllBytes(args.Get("--out"), *value);
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
