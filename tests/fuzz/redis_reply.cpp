// Fuzz target: bytes from a Redis server, read as the client reads them. The client library's
// reader (hiredis, as RedisSocket uses it) parses the protocol, and our code copies each reply
// (detail::CopyReply, compiled in from the platform's sources, with the reader limited as
// RedisSocket limits it) and reads the server's text:
// CLUSTER SLOTS replies into a slot map, MOVED and ASK redirects, node addresses. Replies are
// read twice, from all the bytes at once and cut at arbitrary points (the first byte seeds the
// cuts): both readings give the same replies. Inputs are capped at 16 KiB, as the protocol
// parsing itself is hiredis's.
#include <hiredis/hiredis.h>

#include <random>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "velredis/RedisClusterSlot.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisReply.h"
#include "velredis/RedisSlotMap.h"

using namespace velmora::caching;

// Replies compare by value (found by the comparison of their element lists, too).
namespace velmora::caching {
static bool operator==(const RedisReplyValue& a, const RedisReplyValue& b) {
    return a.type == b.type && a.integer == b.integer && a.text == b.text &&
           a.elements == b.elements;
}
}  // namespace velmora::caching

namespace {

struct Reading {
    std::vector<RedisReplyValue> replies;
    bool failed = false;  // the reader refused the bytes
};

// Feeds `bytes` in pieces of the given sizes (the rest in one piece) and takes every reply
// complete after each piece.
Reading Read(const std::string& bytes, const std::vector<std::size_t>& cuts) {
    Reading reading;
    redisReader* reader = redisReaderCreate();
    VELFUZZ_CHECK(reader != nullptr);
    detail::LimitReplyArrays(reader);  // as RedisSocket's readers are
    std::size_t at = 0;
    for (std::size_t i = 0; at < bytes.size() || i == 0; ++i) {
        const std::size_t n =
            i < cuts.size() ? std::min(cuts[i], bytes.size() - at) : bytes.size() - at;
        if (redisReaderFeed(reader, bytes.data() + at, n) != REDIS_OK) {
            reading.failed = true;
            break;
        }
        at += n;
        void* reply = nullptr;
        int status;
        while ((status = redisReaderGetReply(reader, &reply)) == REDIS_OK && reply) {
            reading.replies.push_back(detail::CopyReply(static_cast<redisReply*>(reply)));
            freeReplyObject(reply);
            reply = nullptr;
        }
        if (status != REDIS_OK) {
            reading.failed = true;
            break;
        }
    }
    redisReaderFree(reader);
    return reading;
}

void CheckSlotMap(const RedisReplyValue& reply) {
    RedisSlotMap map;
    try {
        map = RedisSlotMap::FromClusterSlots(reply, "answering.host");
    } catch (const RedisException&) {
        return;  // not a CLUSTER SLOTS reply
    }
    int assigned = 0;
    const std::vector<RedisNodeAddress>& known = map.KnownNodes();
    for (int slot = 0; slot < kRedisClusterSlots; ++slot) {
        const RedisNodeAddress* master = map.MasterOf(slot);
        if (!master) continue;
        ++assigned;
        VELFUZZ_CHECK(master >= known.data() && master < known.data() + known.size());
    }
    VELFUZZ_CHECK(assigned == map.AssignedSlots());
    VELFUZZ_CHECK(map.MasterOf(-1) == nullptr && map.MasterOf(kRedisClusterSlots) == nullptr);
    for (std::size_t i = 0; i < known.size(); ++i) {
        VELFUZZ_CHECK(known[i].host != "?");
        for (std::size_t j = i + 1; j < known.size(); ++j) VELFUZZ_CHECK(!(known[i] == known[j]));
    }
    // A MOVED redirect changes its slot only.
    if (!known.empty()) {
        RedisSlotMap moved = map;
        moved.Assign(0, known.back());
        VELFUZZ_CHECK(*moved.MasterOf(0) == known.back());
        for (int slot = 1; slot < kRedisClusterSlots; slot += 97)
            VELFUZZ_CHECK((moved.MasterOf(slot) == nullptr) == (map.MasterOf(slot) == nullptr));
    }
}

void CheckText(const std::string& text) {
    const RedisRedirect redirect = RedisRedirect::Parse(text, "answering.host");
    if (redirect.kind != RedisRedirect::Kind::None) {
        VELFUZZ_CHECK(redirect.slot >= 0 && redirect.slot < kRedisClusterSlots);
        VELFUZZ_CHECK(redirect.node.port >= 1 && redirect.node.port <= 65535);
        VELFUZZ_CHECK(!redirect.node.host.empty());
        VELFUZZ_CHECK(
            text.starts_with(redirect.kind == RedisRedirect::Kind::Moved ? "MOVED " : "ASK "));
    }
    if (const auto node = RedisNodeAddress::Parse(text)) {
        VELFUZZ_CHECK(node->port >= 1 && node->port <= 65535);
        // The text an address is written as reads back as the same address.
        const auto again = RedisNodeAddress::Parse(node->ToString());
        VELFUZZ_CHECK(again && again->port == node->port);
    }
    for (const RedisNodeAddress& node : RedisNodeAddress::ParseList(text))
        VELFUZZ_CHECK(!node.host.empty() && node.port >= 1 && node.port <= 65535);
}

void CheckReply(const RedisReplyValue& reply) {
    switch (reply.type) {
        case RedisReplyValue::Type::Array:
            CheckSlotMap(reply);
            for (const RedisReplyValue& element : reply.elements) CheckReply(element);
            break;
        case RedisReplyValue::Type::Error:
        case RedisReplyValue::Type::Status:
        case RedisReplyValue::Type::String:
            CheckText(reply.text);
            break;
        default:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = (velfuzz::QuietHost(), true);
    (void)quiet;
    if (size < 1 || size > 16 * 1024) return -1;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    const Reading whole = Read(bytes, {});
    std::minstd_rand cutter(data[0]);
    std::vector<std::size_t> cuts;
    for (std::size_t total = 0; total < bytes.size();) {
        cuts.push_back(1 + cutter() % 7);
        total += cuts.back();
    }
    const Reading pieces = Read(bytes, cuts);
    VELFUZZ_CHECK(whole.failed == pieces.failed);
    VELFUZZ_CHECK(whole.replies == pieces.replies);
    for (const RedisReplyValue& reply : whole.replies) CheckReply(reply);
    return 0;
}
