// Decoding of the messages of PostgreSQL's logical replication stream: the copy-data frames of
// the replication protocol (XLogData, primary keepalive) and, inside XLogData, the "pgoutput"
// plugin's protocol version 1 (Begin, Commit, Relation, Insert, Update, Delete, Truncate; Type
// and Origin are read and ignored). Bytes come from the network: every read is bounds-checked
// and a malformed message raises MalformedMessage, never reads past its end. Not thread-safe:
// use from one thread at a time (the decoder keeps the relations the stream described).
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "follow/CommitLogFollower.h"

namespace velmora::caching::follow {

class Reader;

class MalformedMessage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// A copy-data frame of the replication stream.
struct Frame {
    enum class Kind { XLogData, Keepalive, Other };
    Kind kind = Kind::Other;
    std::uint64_t walStart = 0;   ///< XLogData: where its data starts
    std::uint64_t walEnd = 0;     ///< the server's end of WAL (keepalive: everything sent)
    bool replyRequested = false;  ///< keepalive: the server wants a status update now
    std::string_view data;        ///< XLogData: the plugin's message (a view into the frame)
};

/// Reads a copy-data frame. Raises MalformedMessage.
Frame ReadFrame(std::string_view bytes);

/// The standby status update confirming `position` as written, flushed and applied, at
/// `nowMicros` (microseconds since 2000-01-01), asking for no reply.
std::string StatusUpdate(std::uint64_t position, std::int64_t nowMicros);

/// One decoded pgoutput message.
struct Message {
    enum class Kind { Begin, Commit, Relation, Change, Truncate, Ignored };
    Kind kind = Kind::Ignored;
    std::uint64_t lsn = 0;          ///< Begin: the final LSN; Commit: the transaction's end LSN
    std::int64_t commitMicros = 0;  ///< Begin, Commit: the commit time (since 2000-01-01)
    RowChange change;               ///< Change: the row change (its table owned by the decoder)
    std::vector<const FollowedTable*> truncated;  ///< Truncate: the tables
};

/// Decodes pgoutput messages, keeping the relations (tables) the stream described.
class PgoutputDecoder {
public:
    /// `primaryKeys`: the primary key's columns of tables that have one, by "schema.name"; a
    /// table's key (FollowedTable::key) is its primary key when listed, else its replica identity.
    explicit PgoutputDecoder(std::map<std::string, std::vector<std::string>> primaryKeys = {})
        : m_primaryKeys(std::move(primaryKeys)) {}

    /// Decodes one message. Raises MalformedMessage, also for a change of a relation the stream
    /// has not described.
    Message Decode(std::string_view bytes);

private:
    struct Relation {
        FollowedTable table;
        std::vector<bool> identity;  // the replica identity's columns: what an old key row holds
    };

    const Relation& Find(std::uint32_t id) const;
    void ReadRelation(Reader& in);
    RowChange ReadChange(char tag, Reader& in) const;

    const std::map<std::string, std::vector<std::string>> m_primaryKeys;
    std::unordered_map<std::uint32_t, Relation> m_relations;
};

}  // namespace velmora::caching::follow
