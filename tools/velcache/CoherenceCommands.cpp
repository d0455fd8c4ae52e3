// velcache coherence watch|publish: the coherence traffic of a namespace, read and written with
// the library's own wire format (caching/CoherenceMessages.h).
//
// watch subscribes through its own subscription manager and prints one line per announcement
// on the delivery thread; the main thread waits for SIGINT or SIGTERM (blocked in every thread
// and taken with sigtimedwait, so no handler runs at an awkward moment) and prints the rate once
// a second.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "Cli.h"
#include "caching/CoherenceMessages.h"
#include "velcoredata/DateTime.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsys/Exceptions.h"

namespace velcli {

using velmora::caching::HashPair;

namespace {

constexpr unsigned long long kTicksPerSecond = 10000000;  // DateTime ticks are 100 ns
constexpr unsigned long long kLastDay = 3652058;          // 9999-12-31, counted from 0001-01-01

// "2026-12-06T03:20:13.123Z" for a raw DateTime value; the tick count itself past year 9999.
std::string FormatUtc(unsigned long long ticks) {
    using namespace std::chrono;
    const unsigned long long seconds = ticks / kTicksPerSecond;
    const unsigned long long dayCount = seconds / 86400;
    if (dayCount > kLastDay) return "ticks:" + std::to_string(ticks);
    const year_month_day date(sys_days(year(1) / January / 1) + days(int(dayCount)));
    const unsigned long long second = seconds % 86400;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02llu:%02llu:%02llu.%03lluZ",
                  int(date.year()), unsigned(date.month()), unsigned(date.day()), second / 3600,
                  second / 60 % 60, second % 60, ticks % kTicksPerSecond / 10000);
    return text;
}

// Printable text of raw message bytes: non-printing bytes as \xNN.
std::string Escape(const std::string& raw) {
    std::string text;
    for (const char byte : raw) {
        const auto c = static_cast<unsigned char>(byte);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            text += byte;
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", c);
            text += code;
        }
    }
    return text;
}

// One line for one announcement: decoded as the coherence service decodes it.
std::string DescribeAnnouncement(const std::string& ns, const std::string& channel,
                                 const std::string& raw) {
    try {
        const TString keyText = TString::fromStdString(channel.substr(ns.size()));
        const HashPair key = velmora::caching::ParseHashPair(keyText);
        const auto [data, timestamp] = velmora::caching::ParseMessage(TString::fromStdString(raw));
        const long long ageMs = (static_cast<long long>(DateTime::UtcNow().GetRepresentation()) -
                                 static_cast<long long>(timestamp)) /
                                DateTimeSpan::kTicksPerMillisecond;
        char age[48];
        std::snprintf(age, sizeof age, "%s%lld.%03llds", ageMs < 0 ? "-" : "",
                      std::llabs(ageMs) / 1000, std::llabs(ageMs) % 1000);
        return channel + " key=" + velmora::caching::FormatHashPair(key).toStdString() +
               " data=" + velmora::caching::FormatHashPair(data).toStdString() +
               " time=" + FormatUtc(timestamp) + " age=" + age;
    } catch (const velmora::LogicException& e) {
        return channel + " malformed (" + e.GetExpression() + "): \"" + Escape(raw) + "\"";
    }
}

int Watch(const CommandLine& line) {
    const std::string& ns = line.ns;
    RedisTarget target = *line.redis;
    ReadPasswordFile(target);
    target.config.commandTimeout = std::chrono::milliseconds(2000);
    CheckRedisReachable(target);
    const velmora::caching::RedisEndpointConfig& config = target.config;
    const std::string& address = target.address;

    // Blocked before any thread starts, so that every thread inherits the mask and only
    // sigtimedwait below takes these signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::atomic<long long> received{0};
    std::atomic<bool> outputClosed{false};
    const TString pattern = TString::fromStdString(ns + "*");
    velmora::caching::RedisSubscriptionManager manager(config);
    manager.Subscribe(pattern, [&](const TString& channel, const void* data, int length) {
        const std::string text =
            DescribeAnnouncement(ns, channel.toStdString(),
                                 std::string(static_cast<const char*>(data), size_t(length))) +
            "\n";
        ++received;
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
            std::fflush(stdout) != 0)
            outputClosed = true;
    });
    if (!manager.WaitUntilSubscribed(pattern, std::chrono::seconds(5)))
        Fail(kExitUnavailable, "Redis at " + address + " did not confirm the subscription");
    std::fprintf(stderr, "watching %s* on %s (Ctrl-C stops)\n", ns.c_str(), address.c_str());

    const auto start = std::chrono::steady_clock::now();
    long long reported = 0;
    for (int tick = 1; !outputClosed; ++tick) {
        const auto remaining =
            start + std::chrono::seconds(tick) - std::chrono::steady_clock::now();
        const auto ns100 = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining).count();
        timespec wait{};
        wait.tv_sec = ns100 > 0 ? time_t(ns100 / 1000000000) : 0;
        wait.tv_nsec = ns100 > 0 ? long(ns100 % 1000000000) : 0;
        if (sigtimedwait(&stopSignals, nullptr, &wait) > 0) break;
        const long long total = received.load();
        const velmora::caching::RedisSubscriptionManager::Stats stats = manager.GetStats();
        std::fprintf(stderr, "rate: %lld/s, total %lld%s\n", total - reported, total,
                     stats.disconnects > stats.resubscriptions ? " (reconnecting)" : "");
        reported = total;
    }
    manager.Unsubscribe(pattern);
    std::fprintf(stderr, "stopped after %lld announcements\n", received.load());
    if (outputClosed) Fail(kExitUnavailable, "cannot write standard output");
    return kExitOk;
}

int Publish(const CommandLine& line) {
    const HashPair& key = line.keyHash;
    const HashPair& data = line.dataHash;
    const unsigned long long timestamp = line.time;
    const std::string& ns = line.ns;
    RedisTarget target = *line.redis;
    ReadPasswordFile(target);
    CheckRedisReachable(target);
    const velmora::caching::RedisEndpointConfig& config = target.config;
    const std::string& address = target.address;

    const std::string channel =
        velmora::caching::FormatCoherenceChannel(TString::fromStdString(ns), key).toStdString();
    const std::string message =
        velmora::caching::FormatCoherenceMessage(data, timestamp).toStdString();
    velmora::caching::RedisReplyValue reply;
    try {
        velmora::caching::RedisConnection connection(config);
        reply = connection.Command({"PUBLISH", channel, message});
    } catch (const std::exception& e) {
        Fail(kExitUnavailable, "cannot publish on Redis at " + address + ": " + e.what());
    }
    if (reply.type != velmora::caching::RedisReplyValue::Type::Integer)
        Fail(kExitUnavailable, "Redis at " + address + " refused PUBLISH: " + reply.text);
    std::printf("published %s on %s (time %s) to %lld subscribers\n", message.c_str(),
                channel.c_str(), FormatUtc(timestamp).c_str(), reply.integer);
    return kExitOk;
}

}  // namespace

int RunCoherenceCommand(const CommandLine& line) {
    return line.action == CommandLine::Action::CoherenceWatch ? Watch(line) : Publish(line);
}

}  // namespace velcli
