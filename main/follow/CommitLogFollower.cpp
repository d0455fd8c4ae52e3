// The commit-log follower: start-up checks, the reading thread, the mapping to tags and the
// announcements that move the slot (see follow/CommitLogFollower.h).
#include "follow/CommitLogFollower.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <set>
#include <thread>

#include "caching/CacheTags.h"
#include "follow/PgConnection.h"
#include "follow/Pgoutput.h"
#include "velcoreplatform/TLog.h"
#include "velsys/Locks.h"

namespace velmora::caching {

using follow::PgConnection;

namespace {

// PostgreSQL counts time from 2000-01-01, in microseconds.
constexpr std::int64_t kPgEpochUnixMicros = 946684800LL * 1000000;
// How often the slot's position is confirmed while it moves, and at least while it does not.
constexpr auto kFeedbackInterval = std::chrono::milliseconds(100);
constexpr auto kIdleFeedback = std::chrono::seconds(10);
constexpr auto kReadWait = std::chrono::milliseconds(100);

std::int64_t UnixMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string FormatLsn(std::uint64_t lsn) {
    char text[32];
    std::snprintf(text, sizeof text, "%X/%X", static_cast<unsigned>(lsn >> 32),
                  static_cast<unsigned>(lsn & 0xffffffffu));
    return text;
}

void Log(TLog::Severity level, const std::string& text) {
    TLog::LogMessage(level, TString::fromStdString("CommitLogFollower: " + text));
}

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// A row's key, "<table>:<v1>,<v2>", and its listed columns' tags.
void RowTags(const FollowedTable& table, const std::vector<ColumnValue>& row,
             const std::vector<std::string>& listed, std::vector<std::string>& tags) {
    const std::string name = table.TagName();
    std::string key;
    bool any = false;
    for (std::size_t i = 0; i < table.columns.size() && i < row.size(); ++i) {
        if (!table.key[i]) continue;
        if (row[i].state != ColumnValue::State::Text)
            throw UnrenderableRow("the key column \"" + table.columns[i] + "\" of " + name +
                                  " was not sent");
        if (any) key.push_back(',');
        key += row[i].text;
        any = true;
    }
    if (!any) throw UnrenderableRow(name + " has no key columns");
    tags.push_back(name + ":" + key);
    for (const std::string& column : listed) {
        const auto at = std::find(table.columns.begin(), table.columns.end(), column);
        if (at == table.columns.end())
            throw UnrenderableRow(name + " has no column \"" + column + "\"");
        const ColumnValue& value = row[static_cast<std::size_t>(at - table.columns.begin())];
        if (value.state == ColumnValue::State::Null) {
            tags.push_back(name + ":" + column + "=\\N");
        } else if (value.state == ColumnValue::State::Text) {
            tags.push_back(name + ":" + column + "=" + value.text);
        } else {
            throw UnrenderableRow("the column \"" + column + "\" of " + name +
                                  " was not sent (the old row of an UPDATE or DELETE carries "
                                  "only the key unless the table has REPLICA IDENTITY FULL)");
        }
    }
}

}  // namespace

TagMapping DefaultTagMapping(std::map<std::string, std::vector<std::string>> columns) {
    return [columns = std::move(columns)](const RowChange& change) {
        const FollowedTable& table = *change.table;
        if (change.kind == RowChange::Kind::Truncate)
            return std::vector<std::string>{table.TagName()};
        static const std::vector<std::string> none;
        const auto listed = columns.find(table.TagName());
        const std::vector<std::string>& names = listed == columns.end() ? none : listed->second;
        std::vector<std::string> tags;
        if (!change.oldRow.empty()) RowTags(table, change.oldRow, names, tags);
        if (!change.newRow.empty()) {
            // An UPDATE that kept its key sends no old row: the old values of listed columns
            // are not known.
            if (change.kind == RowChange::Kind::Update && change.oldRow.empty() && !names.empty())
                throw UnrenderableRow("an UPDATE of " + table.TagName() +
                                      " did not send the old row, so the old values of its "
                                      "listed columns are not known (the table needs REPLICA "
                                      "IDENTITY FULL)");
            RowTags(table, change.newRow, names, tags);
        }
        return tags;
    };
}

class CommitLogFollower::Impl {
public:
    Impl(CommitLogFollowerOptions options, std::shared_ptr<TagInvalidations> tags)
        : m_options(std::move(options)), m_tags(std::move(tags)) {
        if (!m_tags) throw std::invalid_argument("CommitLogFollower: no TagInvalidations given");
        if (m_options.conninfo.empty())
            throw std::invalid_argument("CommitLogFollower: no server given (conninfo)");
        if (m_options.slot.empty() || m_options.publication.empty())
            throw std::invalid_argument(
                "CommitLogFollower: the slot and the publication need names");
        if (m_options.batchTags == 0)
            throw std::invalid_argument("CommitLogFollower: batchTags must be at least 1");
        if (!m_options.mapping) m_options.mapping = DefaultTagMapping();
        PgConnection connection(m_options.conninfo, m_options.connectTimeout);
        m_address = connection.Address();
        CheckServer(connection);
        CheckTables(connection);
        if (EnsureSlot(connection))
            Log(TLog::Warn, "created the slot \"" + m_options.slot + "\" at " + m_address +
                                ": changes committed while it did not exist cannot be read, so "
                                "every followed table's tag is invalidated first");
        m_thread = std::thread([this] { Run(); });
    }

    ~Impl() { Stop(); }

    void Stop() {
        {
            TMutexLock lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) m_thread.join();
    }

    CommitLogFollowerCounters Counters() const {
        TMutexLock lock(m_mutex);
        return m_counts;
    }

    bool Failed() const {
        TMutexLock lock(m_mutex);
        return !m_error.empty();
    }

    std::string Error() const {
        TMutexLock lock(m_mutex);
        return m_error;
    }

private:
    // Raised by the reading loop when the follower must stop on its own.
    struct Fatal : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    void CheckServer(PgConnection& connection) {
        const auto level = connection.Query("SHOW wal_level");
        const std::string value = level.empty() || level[0].empty() ? "" : level[0][0];
        if (value != "logical")
            throw std::runtime_error("PostgreSQL at " + m_address + " has wal_level=" + value +
                                     "; its commit log can be followed only with "
                                     "wal_level=logical (set it in postgresql.conf, restart)");
    }

    // Checks each table (named, or the publication's), records its primary key, and creates or
    // completes the publication.
    void CheckTables(PgConnection& connection) {
        const std::string publication = connection.Literal(m_options.publication);
        const bool exists =
            !connection.Query("SELECT 1 FROM pg_publication WHERE pubname = " + publication)
                 .empty();
        if (!exists && !m_options.create)
            throw std::runtime_error("PostgreSQL at " + m_address + " has no publication \"" +
                                     m_options.publication + "\" (and create is off)");
        std::vector<std::string> names = m_options.tables;
        if (names.empty()) {
            if (!exists)
                throw std::runtime_error("CommitLogFollower: no tables named, and PostgreSQL at " +
                                         m_address + " has no publication \"" +
                                         m_options.publication + "\" to read them from");
            for (const auto& row : connection.Query(
                     "SELECT quote_ident(schemaname) || '.' || quote_ident(tablename) FROM "
                     "pg_publication_tables WHERE pubname = " +
                     publication))
                names.push_back(row[0]);
            if (names.empty())
                throw std::runtime_error("the publication \"" + m_options.publication + "\" at " +
                                         m_address + " names no table");
        }
        std::vector<std::string> missing;
        for (const std::string& name : names) {
            std::string quoted = CheckTable(connection, name, publication);
            if (!quoted.empty()) missing.push_back(std::move(quoted));
        }
        if (missing.empty()) return;
        if (!m_options.create)
            throw std::runtime_error("the publication \"" + m_options.publication + "\" at " +
                                     m_address + " lacks " + missing.front() +
                                     " (and create is off)");
        std::string list;
        for (const std::string& name : missing) list += (list.empty() ? "" : ", ") + name;
        connection.Query((exists ? "ALTER PUBLICATION " : "CREATE PUBLICATION ") +
                         connection.Identifier(m_options.publication) +
                         (exists ? " ADD TABLE " : " FOR TABLE ") + list);
    }

    // Checks one table and records its tag name and primary key; returns its quoted name when
    // the publication lacks it, else nothing.
    std::string CheckTable(PgConnection& connection, const std::string& name,
                           const std::string& publication) {
        const auto rows = connection.Query(
            "SELECT n.nspname, c.relname, c.relreplident, c.oid::regclass::text, "
            "EXISTS (SELECT 1 FROM pg_publication_tables p WHERE p.pubname = " +
            publication +
            " AND p.schemaname = n.nspname AND p.tablename = c.relname), "
            "(SELECT string_agg(a.attname, ',' ORDER BY a.attnum) FROM pg_index i JOIN "
            "pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = ANY(i.indkey) "
            "WHERE i.indrelid = c.oid AND i.indisprimary) "
            "FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
            "WHERE c.oid = to_regclass(" +
            connection.Literal(name) + ") AND c.relkind = 'r'");
        if (rows.empty())
            throw std::runtime_error("PostgreSQL at " + m_address + " has no table \"" + name +
                                     "\"");
        const auto& row = rows[0];
        const bool hasKey = !row[5].empty();
        if (row[2] == "n" || (row[2] == "d" && !hasKey))
            throw std::runtime_error(
                "the table " + row[3] + " at " + m_address +
                " has neither a primary key nor a replica identity, so its updates and "
                "deletes cannot name their rows: add a primary key, or ALTER TABLE " +
                row[3] + " REPLICA IDENTITY FULL");
        m_tableTags.push_back(FollowedTable{row[0], row[1], {}, {}}.TagName());
        if (hasKey) {
            std::vector<std::string>& key = m_primaryKeys[row[0] + "." + row[1]];
            std::string column;
            for (const char c : row[5] + ",") {
                if (c != ',') {
                    column.push_back(c);
                } else {
                    key.push_back(column);
                    column.clear();
                }
            }
        }
        return row[4] == "t" ? std::string() : row[3];
    }

    // Creates the slot when it is missing; true when it did (a gap is owed). Raises when it
    // belongs to another plugin, or is missing with create off.
    bool EnsureSlot(PgConnection& connection) {
        const auto rows = connection.Query(
            "SELECT plugin FROM pg_replication_slots WHERE "
            "slot_name = " +
            connection.Literal(m_options.slot));
        if (!rows.empty()) {
            if (rows[0][0] != "pgoutput")
                throw std::runtime_error("the slot \"" + m_options.slot + "\" at " + m_address +
                                         " decodes with \"" + rows[0][0] +
                                         "\", not pgoutput: use another slot name");
            return false;
        }
        if (!m_options.create)
            throw std::runtime_error("PostgreSQL at " + m_address + " has no slot \"" +
                                     m_options.slot + "\" (and create is off)");
        connection.Query("CREATE_REPLICATION_SLOT " + connection.Identifier(m_options.slot) +
                         " LOGICAL pgoutput NOEXPORT_SNAPSHOT");
        TMutexLock lock(m_mutex);
        m_gapOwed = true;
        ++m_counts.gaps;
        return true;
    }

    void Run() {
        bool first = true;
        long long connections = 0;
        std::string lastProblem;
        while (!Stopping()) {
            try {
                SetState(FollowerState::Connecting);
                PgConnection connection(m_options.conninfo, m_options.connectTimeout);
                if (!first) Count(&CommitLogFollowerCounters::reconnects);
                if (!first && EnsureSlot(connection))
                    Log(TLog::Error, "the slot \"" + m_options.slot + "\" at " + m_address +
                                         " was gone and was created again: changes committed "
                                         "meanwhile are lost, so every followed table's tag is "
                                         "invalidated");
                first = false;
                if (!AnnounceGapIfOwed()) break;
                Start(connection);
                if (!lastProblem.empty() || ++connections == 1)
                    Log(TLog::Info,
                        "following the slot \"" + m_options.slot + "\" at " + m_address);
                lastProblem.clear();
                SetState(FollowerState::Following);
                Follow(connection);
            } catch (const Fatal& e) {
                Log(TLog::Error, std::string(e.what()) + "; the follower stopped");
                TMutexLock lock(m_mutex);
                m_error = e.what();
                break;
            } catch (const std::exception& e) {
                if (Stopping()) break;
                const std::string problem = e.what();
                if (problem != lastProblem)
                    Log(TLog::Error, problem + "; trying again every " +
                                         std::to_string(m_options.retryPause.count()) + " ms");
                lastProblem = problem;
                Pause();
            }
        }
        SetState(FollowerState::Stopped);
    }

    // Starts the stream from the slot's confirmed position. A slot past the WAL the server keeps
    // is dropped (the next attempt creates it again: a gap); one held by another follower is
    // waited for.
    void Start(PgConnection& connection) {
        try {
            connection.StartCopy("START_REPLICATION SLOT " + connection.Identifier(m_options.slot) +
                                 " LOGICAL 0/0 (proto_version '1', publication_names " +
                                 connection.Literal(connection.Identifier(m_options.publication)) +
                                 ")");
        } catch (const std::runtime_error& e) {
            const std::string what = e.what();
            if (Contains(what, "is active for PID"))
                throw std::runtime_error("the slot \"" + m_options.slot + "\" at " + m_address +
                                         " is read by another follower; waiting for it (" + what +
                                         ")");
            if (Contains(what, "can no longer get changes") ||
                Contains(what, "already been removed") || Contains(what, "invalidated")) {
                connection.Query("SELECT pg_drop_replication_slot(" +
                                 connection.Literal(m_options.slot) + ")");
            }
            throw;
        }
    }

    // Reads transactions until the stream breaks or the follower stops. The slot's position
    // moves to a transaction's end only after all its tags were announced.
    void Follow(PgConnection& connection) {
        follow::PgoutputDecoder decoder(m_primaryKeys);
        std::vector<std::string> pending;
        bool inTransaction = false;
        std::uint64_t confirmed = Counters().confirmed, sent = 0;
        auto lastSent = std::chrono::steady_clock::now();
        while (!Stopping()) {
            const std::optional<std::string> bytes = connection.Read(kReadWait);
            bool replyNow = false;
            if (bytes) {
                const follow::Frame frame = follow::ReadFrame(*bytes);
                if (frame.kind == follow::Frame::Kind::Keepalive) {
                    // Everything before the server's position was sent: with no transaction
                    // open here, the slot may move there.
                    if (!inTransaction && pending.empty() && frame.walEnd > confirmed)
                        confirmed = frame.walEnd;
                    replyNow = frame.replyRequested;
                } else if (frame.kind == follow::Frame::Kind::XLogData) {
                    const follow::Message message = decoder.Decode(frame.data);
                    switch (message.kind) {
                        case follow::Message::Kind::Begin:
                            inTransaction = true;
                            break;
                        case follow::Message::Kind::Change:
                            Map(message.change, pending);
                            break;
                        case follow::Message::Kind::Truncate:
                            for (const FollowedTable* table : message.truncated) {
                                RowChange change;
                                change.kind = RowChange::Kind::Truncate;
                                change.table = table;
                                Map(change, pending);
                            }
                            break;
                        case follow::Message::Kind::Commit:
                            if (!Announce(pending)) return;
                            inTransaction = false;
                            confirmed = std::max(confirmed, message.lsn);
                            Committed(confirmed, message.commitMicros);
                            break;
                        default:
                            break;
                    }
                    if (pending.size() >= m_options.batchTags && !Announce(pending)) return;
                }
            }
            const auto now = std::chrono::steady_clock::now();
            if (replyNow || (confirmed != sent && now - lastSent >= kFeedbackInterval) ||
                now - lastSent >= kIdleFeedback) {
                connection.Send(follow::StatusUpdate(confirmed, UnixMicros() - kPgEpochUnixMicros));
                sent = confirmed;
                lastSent = now;
                TMutexLock lock(m_mutex);
                m_counts.confirmed = confirmed;
            }
        }
    }

    // The tags of one change, added to `pending`. A row the mapping cannot render, or whose tags
    // are refused by name, invalidates its table's tag instead.
    void Map(const RowChange& change, std::vector<std::string>& pending) {
        Count(&CommitLogFollowerCounters::changes);
        std::vector<std::string> tags;
        std::string problem;
        try {
            tags = m_options.mapping(change);
            for (const std::string& tag : tags)
                if (tag.empty() || tag.size() > kMaxTagBytes)
                    problem = "the mapping made a tag of " + std::to_string(tag.size()) +
                              " bytes (1 to " + std::to_string(kMaxTagBytes) + " allowed)";
        } catch (const UnrenderableRow& e) {
            problem = e.what();
        } catch (const std::exception& e) {
            throw Fatal(std::string("the mapping raised for a change of ") +
                        change.table->TagName() + ": " + e.what());
        }
        if (!problem.empty()) {
            const std::string table = change.table->TagName();
            if (m_unrenderableTables.insert(table).second)
                Log(TLog::Warn, problem + "; its table's tag \"" + table +
                                    "\" is invalidated instead (said once per table)");
            Count(&CommitLogFollowerCounters::unrenderable);
            tags = {table};
        }
        pending.insert(pending.end(), tags.begin(), tags.end());
    }

    // Announces `tags` (then cleared), trying until Redis takes them all; false when the
    // follower stopped first (nothing confirmed).
    bool Announce(std::vector<std::string>& tags) {
        std::sort(tags.begin(), tags.end());
        tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
        bool said = false;
        while (!tags.empty()) {
            if (m_tags->TryInvalidate(tags, m_options.scope)) {
                Count(&CommitLogFollowerCounters::announced, static_cast<long long>(tags.size()));
                tags.clear();
                if (said) {
                    Log(TLog::Warn, "Redis takes announcements again");
                    SetState(FollowerState::Following);
                }
                break;
            }
            Count(&CommitLogFollowerCounters::retries);
            if (!said)
                Log(TLog::Warn,
                    "Redis does not take announcements; the slot's position waits "
                    "at " +
                        FormatLsn(Counters().confirmed) + " until it does");
            said = true;
            SetState(FollowerState::Announcing);
            if (!Pause()) return false;
        }
        return true;
    }

    // Before anything read from a slot that was just created: every followed table's tag.
    bool AnnounceGapIfOwed() {
        {
            TMutexLock lock(m_mutex);
            if (!m_gapOwed) return true;
        }
        std::vector<std::string> tags = m_tableTags;
        if (!Announce(tags)) return false;
        TMutexLock lock(m_mutex);
        m_gapOwed = false;
        return true;
    }

    void Committed(std::uint64_t position, std::int64_t commitMicros) {
        TMutexLock lock(m_mutex);
        ++m_counts.transactions;
        m_counts.lastLagMs =
            static_cast<double>(UnixMicros() - (commitMicros + kPgEpochUnixMicros)) / 1000.0;
        (void)position;
    }

    void Count(long long CommitLogFollowerCounters::*member, long long by = 1) {
        TMutexLock lock(m_mutex);
        m_counts.*member += by;
    }

    void SetState(FollowerState state) {
        TMutexLock lock(m_mutex);
        m_counts.state = state;
    }

    bool Stopping() const {
        TMutexLock lock(m_mutex);
        return m_stopping;
    }

    // Waits the retry pause; false when the follower stops meanwhile.
    bool Pause() {
        TMutexLock lock(m_mutex);
        return !m_wake.wait_for(lock.Native(), m_options.retryPause,
                                [this]() VEL_REQUIRES(m_mutex) { return m_stopping; });
    }

    CommitLogFollowerOptions m_options;
    const std::shared_ptr<TagInvalidations> m_tags;
    // Constant once the thread runs.
    std::string m_address;
    std::vector<std::string> m_tableTags;
    std::map<std::string, std::vector<std::string>> m_primaryKeys;
    // The reading thread's own.
    std::set<std::string> m_unrenderableTables;

    mutable TMutex m_mutex;
    std::condition_variable m_wake;
    CommitLogFollowerCounters m_counts VEL_GUARDED_BY(m_mutex);
    bool m_stopping VEL_GUARDED_BY(m_mutex) = false;
    bool m_gapOwed VEL_GUARDED_BY(m_mutex) = false;
    std::string m_error VEL_GUARDED_BY(m_mutex);

    std::thread m_thread;
};

CommitLogFollower::CommitLogFollower(CommitLogFollowerOptions options,
                                     std::shared_ptr<TagInvalidations> tags)
    : m_impl(std::make_unique<Impl>(std::move(options), std::move(tags))) {}

CommitLogFollower::~CommitLogFollower() = default;

CommitLogFollowerCounters CommitLogFollower::GetCounters() const {
    return m_impl->Counters();
}

void CommitLogFollower::Stop() {
    m_impl->Stop();
}

bool CommitLogFollower::Failed() const {
    return m_impl->Failed();
}

std::string CommitLogFollower::Error() const {
    return m_impl->Error();
}

}  // namespace velmora::caching
