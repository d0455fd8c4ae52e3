// The replication stream's frames and pgoutput's messages (see follow/Pgoutput.h). Integers are
// big-endian; strings are NUL-terminated.
#include "follow/Pgoutput.h"

#include <algorithm>

namespace velmora::caching::follow {

// A bounds-checked reader over one message.
class Reader {
public:
    explicit Reader(std::string_view bytes) : m_bytes(bytes) {}

    std::uint8_t Byte() { return static_cast<std::uint8_t>(Take(1)[0]); }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Number(2)); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(Number(4)); }
    std::uint64_t U64() { return Number(8); }
    std::int64_t I64() { return static_cast<std::int64_t>(Number(8)); }

    std::string String() {
        const std::size_t end = m_bytes.find('\0', m_at);
        if (end == std::string_view::npos) throw MalformedMessage("pgoutput: unterminated string");
        std::string text(m_bytes.substr(m_at, end - m_at));
        m_at = end + 1;
        return text;
    }

    std::string_view Take(std::size_t count) {
        if (count > m_bytes.size() - m_at)
            throw MalformedMessage("pgoutput: message ends after " +
                                   std::to_string(m_bytes.size()) + " bytes, inside a field");
        const std::string_view part = m_bytes.substr(m_at, count);
        m_at += count;
        return part;
    }

    std::string_view Rest() { return Take(m_bytes.size() - m_at); }

private:
    std::uint64_t Number(std::size_t width) {
        std::uint64_t value = 0;
        for (const char c : Take(width)) value = (value << 8) | static_cast<std::uint8_t>(c);
        return value;
    }

    std::string_view m_bytes;
    std::size_t m_at = 0;
};

namespace {

// TupleData: the count of columns, then per column its kind and, for text, its bytes. An old key
// row ('K') sends the columns outside the replica identity as NULL: they are Absent here.
std::vector<ColumnValue> ReadTuple(Reader& in, const FollowedTable& table,
                                   const std::vector<bool>* keyOnly = nullptr) {
    const std::uint16_t count = in.U16();
    if (count > table.columns.size())
        throw MalformedMessage("pgoutput: a row of " + std::to_string(count) + " columns for " +
                               table.TagName() + ", which has " +
                               std::to_string(table.columns.size()));
    std::vector<ColumnValue> row(table.columns.size());
    for (std::uint16_t i = 0; i < count; ++i) {
        switch (in.Byte()) {
            case 'n':
                row[i].state = ColumnValue::State::Null;
                break;
            case 'u':
                row[i].state = ColumnValue::State::Unchanged;
                break;
            case 't':
            case 'b': {
                const std::uint32_t length = in.U32();
                row[i].state = ColumnValue::State::Text;
                row[i].text = std::string(in.Take(length));
                break;
            }
            default:
                throw MalformedMessage("pgoutput: unknown column kind in a row");
        }
        if (keyOnly && !(*keyOnly)[i]) row[i] = ColumnValue{};
    }
    return row;
}

}  // namespace

Frame ReadFrame(std::string_view bytes) {
    Reader in(bytes);
    Frame frame;
    switch (in.Byte()) {
        case 'w':
            frame.kind = Frame::Kind::XLogData;
            frame.walStart = in.U64();
            frame.walEnd = in.U64();
            in.I64();  // the server's clock
            frame.data = in.Rest();
            break;
        case 'k':
            frame.kind = Frame::Kind::Keepalive;
            frame.walEnd = in.U64();
            in.I64();
            frame.replyRequested = in.Byte() != 0;
            break;
        default:
            break;
    }
    return frame;
}

std::string StatusUpdate(std::uint64_t position, std::int64_t nowMicros) {
    std::string out(1, 'r');
    const auto put = [&out](std::uint64_t value) {
        for (int shift = 56; shift >= 0; shift -= 8)
            out.push_back(static_cast<char>((value >> shift) & 0xff));
    };
    put(position);  // written
    put(position);  // flushed: what the slot keeps from
    put(position);  // applied
    put(static_cast<std::uint64_t>(nowMicros));
    out.push_back('\0');  // no reply wanted
    return out;
}

const PgoutputDecoder::Relation& PgoutputDecoder::Find(std::uint32_t id) const {
    const auto it = m_relations.find(id);
    if (it == m_relations.end())
        throw MalformedMessage("pgoutput: a change of relation " + std::to_string(id) +
                               ", which the stream has not described");
    return it->second;
}

void PgoutputDecoder::ReadRelation(Reader& in) {
    const std::uint32_t id = in.U32();
    Relation r;
    r.table.schema = in.String();
    r.table.name = in.String();
    if (r.table.name.empty()) throw MalformedMessage("pgoutput: a relation without a name");
    in.Byte();  // the replica identity setting
    const std::uint16_t count = in.U16();
    for (std::uint16_t i = 0; i < count; ++i) {
        r.identity.push_back((in.Byte() & 1) != 0);
        r.table.columns.push_back(in.String());
        in.U32();  // the type
        in.U32();  // its modifier
    }
    r.table.key = r.identity;
    const auto primary = m_primaryKeys.find(r.table.schema + "." + r.table.name);
    if (primary != m_primaryKeys.end())
        for (std::size_t i = 0; i < r.table.columns.size(); ++i)
            r.table.key[i] = std::find(primary->second.begin(), primary->second.end(),
                                       r.table.columns[i]) != primary->second.end();
    // Described again after a change of the table's definition: the new one holds.
    m_relations[id] = std::move(r);
}

RowChange PgoutputDecoder::ReadChange(char tag, Reader& in) const {
    RowChange change;
    const Relation& r = Find(in.U32());
    change.table = &r.table;
    // The old row: a key row ('K') or the whole row ('O', under REPLICA IDENTITY FULL).
    const auto oldRow = [&in, &r](char part) {
        return ReadTuple(in, r.table, part == 'K' ? &r.identity : nullptr);
    };
    char part = static_cast<char>(in.Byte());
    if (tag == 'I') {
        change.kind = RowChange::Kind::Insert;
        if (part != 'N') throw MalformedMessage("pgoutput: an insert without its row");
        change.newRow = ReadTuple(in, r.table);
    } else if (tag == 'U') {
        change.kind = RowChange::Kind::Update;
        if (part == 'K' || part == 'O') {
            change.oldRow = oldRow(part);
            part = static_cast<char>(in.Byte());
        }
        if (part != 'N') throw MalformedMessage("pgoutput: an update without its new row");
        change.newRow = ReadTuple(in, r.table);
    } else {
        change.kind = RowChange::Kind::Delete;
        if (part != 'K' && part != 'O')
            throw MalformedMessage("pgoutput: a delete without its old row");
        change.oldRow = oldRow(part);
    }
    return change;
}

Message PgoutputDecoder::Decode(std::string_view bytes) {
    Reader in(bytes);
    Message message;
    const char tag = static_cast<char>(in.Byte());
    switch (tag) {
        case 'B':
            message.kind = Message::Kind::Begin;
            message.lsn = in.U64();
            message.commitMicros = in.I64();
            in.U32();  // the transaction id
            break;
        case 'C':
            message.kind = Message::Kind::Commit;
            in.Byte();  // flags
            in.U64();   // the commit record's LSN
            message.lsn = in.U64();
            message.commitMicros = in.I64();
            break;
        case 'R':
            message.kind = Message::Kind::Relation;
            ReadRelation(in);
            break;
        case 'I':
        case 'U':
        case 'D':
            message.kind = Message::Kind::Change;
            message.change = ReadChange(tag, in);
            break;
        case 'T': {
            message.kind = Message::Kind::Truncate;
            const std::uint32_t count = in.U32();
            in.Byte();  // options (CASCADE, RESTART IDENTITY)
            for (std::uint32_t i = 0; i < count; ++i)
                message.truncated.push_back(&Find(in.U32()).table);
            break;
        }
        default:
            message.kind = Message::Kind::Ignored;
            break;  // Type, Origin, Message
    }
    return message;
}

}  // namespace velmora::caching::follow
