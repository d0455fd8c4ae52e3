// Which node of a Redis cluster serves which hash slot, and the redirects a node answers with.
//
// A RedisSlotMap is built from a node's CLUSTER SLOTS reply and then corrected one slot at a
// time as MOVED redirects arrive; a slot nobody is known to serve answers null. The map is a
// plain value: whoever shares one guards it (the cluster router keeps the process's copy under
// its own lock and hands out snapshots).
// Thread contract: const methods are safe for concurrent use; anything else needs external
// synchronization.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velsys/Export.h"

namespace velmora::caching {

struct RedisReplyValue;

struct VELPLATFORM_EXPORT RedisNodeAddress {
    std::string host;
    int port = 0;

    auto operator<=>(const RedisNodeAddress&) const = default;
    // "host:port".
    std::string ToString() const;
    // Reads "host:port" (the port after the last colon, so "[::1]:7000" and "::1:7000" work
    // too). Empty when there is no port in 1..65535.
    static std::optional<RedisNodeAddress> Parse(std::string_view text);
    // Reads "host:port[,host:port...]", as an operator names a cluster's nodes. Empty when the
    // list is empty or any entry lacks a host or a port in 1..65535.
    static std::vector<RedisNodeAddress> ParseList(std::string_view text);
};

// A node's answer that the key lives elsewhere: "MOVED <slot> <host>:<port>" (the slot moved
// for good) or "ASK <slot> <host>:<port>" (this one command goes to the importing node,
// preceded by ASKING).
struct VELPLATFORM_EXPORT RedisRedirect {
    enum class Kind { None, Moved, Ask };
    Kind kind = Kind::None;
    int slot = -1;
    RedisNodeAddress node;

    // Kind::None for any other error text. An empty host in the reply means the host of the
    // node that answered, `answeringHost`.
    static RedisRedirect Parse(std::string_view errorText, std::string_view answeringHost);
};

class VELPLATFORM_EXPORT RedisSlotMap {
public:
    // Every slot unassigned.
    RedisSlotMap();

    // The map a CLUSTER SLOTS reply describes: for each range [start, end], the master (first
    // node entry) and its replicas. A node listed with an empty host is the node that answered,
    // `answeringHost`; a node whose endpoint is unknown ("?") is left out. Raises
    // RedisException when the reply is not a CLUSTER SLOTS reply.
    static RedisSlotMap FromClusterSlots(const RedisReplyValue& reply,
                                         std::string_view answeringHost);

    // The master serving `slot`; null when none is known or `slot` is out of range. The
    // pointer lives as long as the map is not changed.
    const RedisNodeAddress* MasterOf(int slot) const;
    // Records that `node` serves `slot` (after a MOVED redirect). Out-of-range slots are ignored.
    void Assign(int slot, const RedisNodeAddress& node);

    // Slots with a known master.
    int AssignedSlots() const;
    // Nodes serving at least one slot, in the order first seen.
    std::vector<RedisNodeAddress> Masters() const;
    // Every node the map knows of (masters, former masters and replicas), in the order first
    // seen: the candidates to ask for a fresh map.
    const std::vector<RedisNodeAddress>& KnownNodes() const { return m_nodes; }

private:
    static constexpr std::uint16_t kNone = 0xFFFF;
    std::uint16_t IndexOf(const RedisNodeAddress& node);

    std::vector<RedisNodeAddress> m_nodes;
    std::vector<std::uint16_t> m_master;  // per slot, an index into m_nodes or kNone
};

}  // namespace velmora::caching
