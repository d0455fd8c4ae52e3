#include "velredis/RedisSlotMap.h"

#include <algorithm>
#include <charconv>

#include "velredis/RedisClusterSlot.h"
#include "velredis/RedisConnectionPool.h"

namespace velmora::caching {

namespace {

// Parses a decimal number filling the whole of `text`.
std::optional<int> ParseInt(std::string_view text) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

[[noreturn]] void Malformed(const std::string& what) {
    throw RedisException("Malformed CLUSTER SLOTS reply: " + what);
}

}  // namespace

std::string RedisNodeAddress::ToString() const {
    return host + ":" + std::to_string(port);
}

std::optional<RedisNodeAddress> RedisNodeAddress::Parse(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const auto port = ParseInt(text.substr(colon + 1));
    if (!port || *port < 1 || *port > 65535) return std::nullopt;
    std::string_view host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return RedisNodeAddress{std::string(host), *port};
}

std::vector<RedisNodeAddress> RedisNodeAddress::ParseList(std::string_view text) {
    std::vector<RedisNodeAddress> nodes;
    for (std::size_t begin = 0;;) {
        const std::size_t comma = std::min(text.find(',', begin), text.size());
        const auto node = Parse(text.substr(begin, comma - begin));
        if (!node || node->host.empty()) return {};
        nodes.push_back(*node);
        if (comma == text.size()) return nodes;
        begin = comma + 1;
    }
}

RedisRedirect RedisRedirect::Parse(std::string_view errorText, std::string_view answeringHost) {
    RedisRedirect redirect;
    Kind kind;
    if (errorText.starts_with("MOVED "))
        kind = Kind::Moved;
    else if (errorText.starts_with("ASK "))
        kind = Kind::Ask;
    else
        return redirect;
    std::string_view rest = errorText.substr(errorText.find(' ') + 1);
    const auto space = rest.find(' ');
    if (space == std::string_view::npos) return redirect;
    const auto slot = ParseInt(rest.substr(0, space));
    auto node = RedisNodeAddress::Parse(rest.substr(space + 1));
    if (!slot || *slot < 0 || *slot >= kRedisClusterSlots || !node) return redirect;
    if (node->host.empty()) node->host = answeringHost;
    redirect.kind = kind;
    redirect.slot = *slot;
    redirect.node = std::move(*node);
    return redirect;
}

RedisSlotMap::RedisSlotMap() : m_master(kRedisClusterSlots, kNone) {}

std::uint16_t RedisSlotMap::IndexOf(const RedisNodeAddress& node) {
    const auto it = std::find(m_nodes.begin(), m_nodes.end(), node);
    if (it != m_nodes.end()) return static_cast<std::uint16_t>(it - m_nodes.begin());
    m_nodes.push_back(node);
    return static_cast<std::uint16_t>(m_nodes.size() - 1);
}

RedisSlotMap RedisSlotMap::FromClusterSlots(const RedisReplyValue& reply,
                                            std::string_view answeringHost) {
    using Type = RedisReplyValue::Type;
    if (reply.type != Type::Array)
        Malformed(reply.type == Type::Error ? reply.text : "not an array");
    RedisSlotMap map;
    for (const RedisReplyValue& range : reply.elements) {
        if (range.type != Type::Array || range.elements.size() < 3 ||
            range.elements[0].type != Type::Integer || range.elements[1].type != Type::Integer)
            Malformed("a range is not [start, end, node...]");
        const long long start = range.elements[0].integer;
        const long long end = range.elements[1].integer;
        if (start < 0 || end < start || end >= kRedisClusterSlots)
            Malformed("slot range " + std::to_string(start) + "-" + std::to_string(end));
        for (std::size_t i = 2; i < range.elements.size(); ++i) {
            const RedisReplyValue& node = range.elements[i];
            if (node.type != Type::Array || node.elements.size() < 2 ||
                node.elements[0].type != Type::String || node.elements[1].type != Type::Integer)
                Malformed("a node is not [host, port, ...]");
            const std::string& host = node.elements[0].text;
            if (host == "?") continue;  // endpoint unknown to the answering node
            const std::uint16_t index =
                map.IndexOf({host.empty() ? std::string(answeringHost) : host,
                             static_cast<int>(node.elements[1].integer)});
            if (i == 2)
                std::fill(map.m_master.begin() + start, map.m_master.begin() + end + 1, index);
        }
    }
    return map;
}

const RedisNodeAddress* RedisSlotMap::MasterOf(int slot) const {
    if (slot < 0 || slot >= kRedisClusterSlots) return nullptr;
    const std::uint16_t index = m_master[static_cast<std::size_t>(slot)];
    return index == kNone ? nullptr : &m_nodes[index];
}

void RedisSlotMap::Assign(int slot, const RedisNodeAddress& node) {
    if (slot < 0 || slot >= kRedisClusterSlots) return;
    m_master[static_cast<std::size_t>(slot)] = IndexOf(node);
}

int RedisSlotMap::AssignedSlots() const {
    return static_cast<int>(kRedisClusterSlots -
                            std::count(m_master.begin(), m_master.end(), kNone));
}

std::vector<RedisNodeAddress> RedisSlotMap::Masters() const {
    std::vector<bool> serving(m_nodes.size(), false);
    for (const std::uint16_t index : m_master)
        if (index != kNone) serving[index] = true;
    std::vector<RedisNodeAddress> masters;
    for (std::size_t i = 0; i < m_nodes.size(); ++i)
        if (serving[i]) masters.push_back(m_nodes[i]);
    return masters;
}

}  // namespace velmora::caching
