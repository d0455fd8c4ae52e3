// Invalidation from the database's own commit log: a CommitLogFollower reads every committed
// transaction of the tables it follows from a PostgreSQL server (logical replication through a
// replication slot and a publication, decoded by the server's built-in "pgoutput" plugin, so that
// a managed server needs no extension), maps each row change to the tags it invalidates, and
// announces them through TagInvalidations as a writer's InvalidateTag would. A writer that
// commits and tells the cache nothing (another service, a migration, an operator's console) is
// then heard all the same.
//
// Nothing lost: the slot's confirmed position moves past a transaction only after every tag of it
// was appended to the namespace's tag stream and published (TagInvalidations::TryInvalidate; a
// retry queue in memory does not count). A follower killed and started again resumes from the
// slot and announces what it had not; a server restart, a Redis outage or a cut connection costs
// time, never a change. A change may be announced twice (a load), never not at all. A slot the
// follower had to create (the first start, or one dropped or past the WAL the server keeps) is a
// gap: every followed table's tag is invalidated, dropping every value built from it, and the
// follower says so at Error. A second follower on the same slot waits until the first lets go.
//
// Ownership: the follower borrows the TagInvalidations it announces through (shared) and owns one
// thread, which runs the mapping. It holds no cache. Threads: every member is safe for
// concurrent use. Locks: one mutex over the figures; the mapping runs under none.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#define VELCACHE_FOLLOW_EXPORT __attribute__((visibility("default")))

namespace velmora::caching {

class TagInvalidations;

/// A followed table as the server describes it.
struct FollowedTable {
    std::string schema;                ///< its schema ("public", say)
    std::string name;                  ///< its name
    std::vector<std::string> columns;  ///< every column, in the table's order
    std::vector<bool> key;             ///< per column: part of the replica identity (the key)
    /// The name tags use: `name` in the schema "public", else "schema.name".
    std::string TagName() const {
        return schema == "public" || schema.empty() ? name : schema + "." + name;
    }
};

/// One column's value in a row change.
struct ColumnValue {
    /// What the server sent for the column.
    enum class State {
        Null,       ///< SQL NULL
        Unchanged,  ///< a large value an UPDATE left as it was; the server does not send it
        Absent,     ///< not sent (a non-key column of an old row under the default identity)
        Text        ///< `text` holds the value in PostgreSQL's text form
    };
    State state = State::Absent;  ///< what was sent
    std::string text;             ///< the value when Text; empty otherwise
};

/// One row change of a committed transaction (or a TRUNCATE of a table).
struct RowChange {
    /// The statement that made the change.
    enum class Kind { Insert, Update, Delete, Truncate };
    Kind kind = Kind::Insert;              ///< which one
    const FollowedTable* table = nullptr;  ///< the table changed (valid during the mapping call)
    /// UPDATE and DELETE: the row before (its key columns; every column under REPLICA IDENTITY
    /// FULL). Empty for an UPDATE that kept its key under the default identity: the key is then
    /// the new row's. Empty for INSERT and TRUNCATE.
    std::vector<ColumnValue> oldRow;
    /// INSERT and UPDATE: the row after. Empty for DELETE and TRUNCATE.
    std::vector<ColumnValue> newRow;
};

/// Raised by a mapping that cannot render a row (a column it needs is Unchanged or Absent): the
/// follower then invalidates the table's own tag instead (see DefaultTagMapping), counted.
class VELCACHE_FOLLOW_EXPORT UnrenderableRow : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Maps a row change to the tags it invalidates. Runs on the follower's thread, no lock held.
/// May raise UnrenderableRow; any other exception stops the follower (said at Error).
using TagMapping = std::function<std::vector<std::string>(const RowChange&)>;

/// The default mapping. A TRUNCATE invalidates the table's tag, "<table>" (FollowedTable::TagName).
/// A row change invalidates, for the row before and the row after (an UPDATE that moved a row
/// invalidates both): "<table>:<key>", the key columns' values joined by ',' in the table's
/// column order; and for each column `columns` lists for the table (by TagName),
/// "<table>:<column>=<value>" (NULL as "\N"). A value cached from a table should carry the
/// table's tag besides its row tags: the follower invalidates "<table>" for a TRUNCATE, for a row
/// it cannot render, and for every followed table after a gap.
VELCACHE_FOLLOW_EXPORT TagMapping
DefaultTagMapping(std::map<std::string, std::vector<std::string>> columns = {});

/// How a CommitLogFollower is set up.
struct CommitLogFollowerOptions {
    /// The server, as libpq takes it: "host=db.example port=5432 user=follower password=...
    /// dbname=shop" or a postgresql:// URI. The follower adds replication=database.
    std::string conninfo;
    /// The replication slot: one per deployment (a second follower on it waits).
    std::string slot = "velcache_follow";
    /// The publication naming the tables whose changes are read.
    std::string publication = "velcache_follow";
    /// The tables to follow ("orders", "sales.items"); each needs a primary key or a replica
    /// identity. Empty: the publication's tables.
    std::vector<std::string> tables;
    /// Creates the publication (FOR TABLE `tables`), adds tables it lacks, and creates the slot
    /// when missing. Off: a missing one is an error at construction.
    bool create = true;
    /// The scope of the tags announced: "" every cache of the namespace, else one cache's name.
    std::string scope;
    /// Empty: DefaultTagMapping().
    TagMapping mapping;
    /// How long a connection attempt may take.
    std::chrono::milliseconds connectTimeout{5000};
    /// The pause between attempts while the server or Redis cannot be reached.
    std::chrono::milliseconds retryPause{500};
    /// The most tags collected before they are announced, within a transaction too: the bound on
    /// the follower's memory for a transaction of any size (about 100 bytes a tag).
    std::size_t batchTags = 10000;
};

/// Where a follower stands.
enum class FollowerState {
    Connecting,  ///< reaching the server (or waiting for the slot another follower holds)
    Following,   ///< reading the commit log
    Announcing,  ///< waiting for Redis to take announcements (the position does not move)
    Stopped
};

/// The figures of a follower since it was made.
struct CommitLogFollowerCounters {
    long long transactions = 0;   ///< committed transactions read
    long long changes = 0;        ///< row changes and truncated tables read
    long long announced = 0;      ///< tags announced (a batch sent twice counts twice)
    long long unrenderable = 0;   ///< rows mapped to their table's tag instead
    long long retries = 0;        ///< announcements Redis did not take at first
    long long reconnects = 0;     ///< replication connections made after the first
    long long gaps = 0;           ///< slots created (every followed table's tag invalidated)
    std::uint64_t confirmed = 0;  ///< the slot's position confirmed last (an LSN)
    double lastLagMs = 0;         ///< commit to announced, for the last transaction
    FollowerState state = FollowerState::Connecting;  ///< where it stands now
};

/// Follows one PostgreSQL database's commit log (see the file's opening comment).
class VELCACHE_FOLLOW_EXPORT CommitLogFollower {
public:
    /// Checks the set-up and starts following. Raises std::runtime_error naming host:port and
    /// the cause, within the connect time-out, when the server cannot be reached or refuses the
    /// credentials, when wal_level is not logical, when a table is missing, has neither a
    /// primary key nor a replica identity, or the publication or slot is missing with `create`
    /// off, or when the slot belongs to another plugin. `tags`: where to announce (shared).
    CommitLogFollower(CommitLogFollowerOptions options, std::shared_ptr<TagInvalidations> tags);
    /// Stops.
    ~CommitLogFollower();
    CommitLogFollower(const CommitLogFollower&) = delete;
    CommitLogFollower& operator=(const CommitLogFollower&) = delete;

    /// The figures so far.
    CommitLogFollowerCounters GetCounters() const;
    /// Stops reading and joins the thread; what was read and not announced is read again by the
    /// next follower on the slot. Idempotent.
    void Stop();
    /// Whether the follower stopped on its own (a mapping that raised): see Error.
    bool Failed() const;
    /// Why it stopped on its own; empty otherwise.
    std::string Error() const;

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace velmora::caching
