// The replication stream's decoding and the default mapping of row changes to tags, on messages
// built byte by byte as the server sends them.
#include "follow/Pgoutput.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace velmora::caching;
using namespace velmora::caching::follow;

namespace {

// Builds a message in the protocol's byte order.
class Bytes {
public:
    Bytes& Byte(char c) {
        m_text.push_back(c);
        return *this;
    }
    Bytes& Int(std::uint64_t value, int width) {
        for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
            m_text.push_back(static_cast<char>((value >> shift) & 0xff));
        return *this;
    }
    Bytes& Str(const std::string& text) {
        m_text += text;
        m_text.push_back('\0');
        return *this;
    }
    // TupleData: "n" for NULL, "u" for unchanged, anything else as text.
    Bytes& Row(const std::vector<std::string>& values) {
        Int(values.size(), 2);
        for (const std::string& v : values) {
            if (v == "n" || v == "u") {
                Byte(v[0]);
            } else {
                Byte('t').Int(v.size(), 4);
                m_text += v;
            }
        }
        return *this;
    }
    const std::string& Text() const { return m_text; }

private:
    std::string m_text;
};

// The relation "public.orders" (id 7): columns id (key), region, note.
std::string OrdersRelation(const std::string& schema = "public") {
    Bytes b;
    b.Byte('R').Int(7, 4).Str(schema).Str("orders").Byte('d').Int(3, 2);
    for (const auto& [flag, name] :
         std::vector<std::pair<int, std::string>>{{1, "id"}, {0, "region"}, {0, "note"}})
        b.Byte(static_cast<char>(flag)).Str(name).Int(23, 4).Int(0xffffffff, 4);
    return b.Text();
}

std::vector<std::string> Texts(const std::vector<ColumnValue>& row) {
    std::vector<std::string> out;
    for (const ColumnValue& v : row)
        out.push_back(v.state == ColumnValue::State::Text     ? v.text
                      : v.state == ColumnValue::State::Null   ? "<null>"
                      : v.state == ColumnValue::State::Absent ? "<absent>"
                                                              : "<unchanged>");
    return out;
}

TEST(Pgoutput, DecodesATransactionsRowChanges) {
    PgoutputDecoder decoder;
    const Message begin =
        decoder.Decode(Bytes().Byte('B').Int(0x1600, 8).Int(5000, 8).Int(731, 4).Text());
    EXPECT_EQ(begin.kind, Message::Kind::Begin);
    EXPECT_EQ(begin.commitMicros, 5000);
    EXPECT_EQ(decoder.Decode(OrdersRelation()).kind, Message::Kind::Relation);

    const Message insert =
        decoder.Decode(Bytes().Byte('I').Int(7, 4).Byte('N').Row({"42", "EU", "n"}).Text());
    ASSERT_EQ(insert.kind, Message::Kind::Change);
    EXPECT_EQ(insert.change.kind, RowChange::Kind::Insert);
    EXPECT_EQ(insert.change.table->TagName(), "orders");
    EXPECT_EQ(Texts(insert.change.newRow), (std::vector<std::string>{"42", "EU", "<null>"}));
    EXPECT_TRUE(insert.change.oldRow.empty());

    // An update that moved the key sends the old key row: its other columns come as NULL on the
    // wire and are not known.
    const Message moved = decoder.Decode(Bytes()
                                             .Byte('U')
                                             .Int(7, 4)
                                             .Byte('K')
                                             .Row({"42", "n", "n"})
                                             .Byte('N')
                                             .Row({"43", "US", "u"})
                                             .Text());
    EXPECT_EQ(Texts(moved.change.oldRow), (std::vector<std::string>{"42", "<absent>", "<absent>"}));
    EXPECT_EQ(Texts(moved.change.newRow), (std::vector<std::string>{"43", "US", "<unchanged>"}));

    const Message full =
        decoder.Decode(Bytes().Byte('D').Int(7, 4).Byte('O').Row({"43", "US", "n"}).Text());
    EXPECT_EQ(full.change.kind, RowChange::Kind::Delete);
    EXPECT_EQ(Texts(full.change.oldRow), (std::vector<std::string>{"43", "US", "<null>"}));

    const Message truncate = decoder.Decode(Bytes().Byte('T').Int(1, 4).Byte(0).Int(7, 4).Text());
    ASSERT_EQ(truncate.truncated.size(), 1u);
    EXPECT_EQ(truncate.truncated[0]->name, "orders");

    const Message commit =
        decoder.Decode(Bytes().Byte('C').Byte(0).Int(0x1600, 8).Int(0x1680, 8).Int(5000, 8).Text());
    EXPECT_EQ(commit.kind, Message::Kind::Commit);
    EXPECT_EQ(commit.lsn, 0x1680u);  // the transaction's end: where the slot may move
}

TEST(Pgoutput, RefusesTruncatedAndUnknownMessagesWithoutReadingPastThem) {
    PgoutputDecoder decoder;
    const std::string relation = OrdersRelation();
    // Every proper prefix of a message is malformed.
    for (std::size_t n = 1; n < relation.size(); ++n)
        EXPECT_THROW(PgoutputDecoder().Decode(relation.substr(0, n)), MalformedMessage) << n;
    decoder.Decode(relation);
    const std::string update = Bytes()
                                   .Byte('U')
                                   .Int(7, 4)
                                   .Byte('O')
                                   .Row({"1", "a", "b"})
                                   .Byte('N')
                                   .Row({"1", "c", "d"})
                                   .Text();
    for (std::size_t n = 1; n < update.size(); ++n)
        EXPECT_THROW(decoder.Decode(update.substr(0, n)), MalformedMessage) << n;
    // A change of a table the stream never described, more columns than the table has.
    EXPECT_THROW(decoder.Decode(Bytes().Byte('I').Int(8, 4).Byte('N').Row({"1"}).Text()),
                 MalformedMessage);
    EXPECT_THROW(
        decoder.Decode(Bytes().Byte('I').Int(7, 4).Byte('N').Row({"1", "2", "3", "4"}).Text()),
        MalformedMessage);
    // Messages of no interest are passed over.
    EXPECT_EQ(decoder.Decode(Bytes().Byte('O').Int(1, 8).Str("origin").Text()).kind,
              Message::Kind::Ignored);
}

TEST(Pgoutput, ReadsFramesAndWritesStatusUpdates) {
    const std::string keepalive = Bytes().Byte('k').Int(0xABCDEF, 8).Int(1, 8).Byte(1).Text();
    const Frame k = ReadFrame(keepalive);
    EXPECT_EQ(k.kind, Frame::Kind::Keepalive);
    EXPECT_EQ(k.walEnd, 0xABCDEFu);
    EXPECT_TRUE(k.replyRequested);
    const std::string xlog = Bytes().Byte('w').Int(1, 8).Int(2, 8).Int(3, 8).Str("B").Text();
    const Frame w = ReadFrame(xlog);  // its data is a view into `xlog`
    EXPECT_EQ(w.kind, Frame::Kind::XLogData);
    EXPECT_EQ(w.data, std::string_view("B\0", 2));
    EXPECT_THROW(ReadFrame(keepalive.substr(0, 10)), MalformedMessage);

    const std::string update = StatusUpdate(0x0102030405060708ULL, 99);
    ASSERT_EQ(update.size(), 34u);
    EXPECT_EQ(update[0], 'r');
    for (std::size_t part = 0; part < 3; ++part)  // written, flushed, applied: all the same
        EXPECT_EQ(update.substr(1 + 8 * part, 8), std::string("\x01\x02\x03\x04\x05\x06\x07\x08"));
}

// ---- the default mapping ----

FollowedTable Orders(const std::string& schema = "public") {
    return {schema, "orders", {"id", "region", "note"}, {true, false, false}};
}

ColumnValue Text(const std::string& text) {
    return {ColumnValue::State::Text, text};
}

TEST(DefaultTagMapping, NamesTheRowBeforeAndAfterAndTheListedColumns) {
    const FollowedTable orders = Orders();
    RowChange change;
    change.table = &orders;
    change.kind = RowChange::Kind::Insert;
    change.newRow = {Text("42"), Text("EU"), {ColumnValue::State::Null, ""}};
    EXPECT_EQ(DefaultTagMapping()(change), std::vector<std::string>{"orders:42"});
    const TagMapping byRegion = DefaultTagMapping({{"orders", {"region", "note"}}});
    EXPECT_EQ(byRegion(change),
              (std::vector<std::string>{"orders:42", "orders:region=EU", "orders:note=\\N"}));

    // An update under REPLICA IDENTITY FULL: the row it was and the row it became.
    change.kind = RowChange::Kind::Update;
    change.oldRow = {Text("41"), Text("US"), Text("x")};
    EXPECT_EQ(DefaultTagMapping({{"orders", {"region"}}})(change),
              (std::vector<std::string>{"orders:41", "orders:region=US", "orders:42",
                                        "orders:region=EU"}));

    // Another schema's table is named with it; a truncate names the table.
    const FollowedTable sales = Orders("sales");
    change.table = &sales;
    change.kind = RowChange::Kind::Truncate;
    EXPECT_EQ(DefaultTagMapping()(change), std::vector<std::string>{"sales.orders"});
}

TEST(DefaultTagMapping, ARowWhoseNeededValuesWereNotSentIsUnrenderable) {
    const FollowedTable orders = Orders();
    RowChange change;
    change.table = &orders;
    change.kind = RowChange::Kind::Update;
    change.newRow = {Text("42"), Text("EU"), Text("x")};
    // The key stayed, so the old row was not sent: enough for the key's tag...
    EXPECT_EQ(DefaultTagMapping()(change), std::vector<std::string>{"orders:42"});
    // ...not for the old value of a listed column.
    EXPECT_THROW(DefaultTagMapping({{"orders", {"region"}}})(change), UnrenderableRow);
    // A large value the update left alone, a column the table does not have.
    change.oldRow = {Text("42"), Text("EU"), Text("x")};
    change.newRow[1] = {ColumnValue::State::Unchanged, ""};
    EXPECT_THROW(DefaultTagMapping({{"orders", {"region"}}})(change), UnrenderableRow);
    EXPECT_THROW(DefaultTagMapping({{"orders", {"colour"}}})(change), UnrenderableRow);
}

}  // namespace
