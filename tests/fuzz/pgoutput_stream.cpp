// Fuzz target: the commit log's stream as the follower reads it. The input is a sequence of
// copy-data frames, each a two-byte big-endian length and its bytes; every frame is read as the
// replication protocol's frame, and the data of each XLogData frame decoded as a pgoutput message
// by one decoder (so that relations described early are used by later changes). Then:
//  - a malformed frame or message raises only MalformedMessage; any other exception ends the run;
//  - a decoded change names a table the stream described, with rows no wider than the table,
//    and the default mapping of it yields tags or raises UnrenderableRow, nothing else.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "follow/Pgoutput.h"

using namespace velmora::caching;
using namespace velmora::caching::follow;

namespace {

void Check(const RowChange& change, const TagMapping& mapping) {
    if (!change.table) std::abort();
    const std::size_t width = change.table->columns.size();
    if (change.oldRow.size() > width || change.newRow.size() > width) std::abort();
    if (change.table->key.size() != width) std::abort();
    try {
        for (const std::string& tag : mapping(change))
            if (tag.empty()) std::abort();
    } catch (const UnrenderableRow&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const TagMapping mapping = DefaultTagMapping({{"t", {"b", "c"}}});
    std::string_view input(reinterpret_cast<const char*>(data), size);
    PgoutputDecoder decoder({{"public.t", {"a"}}});
    while (input.size() >= 2) {
        const std::size_t length =
            (static_cast<std::size_t>(static_cast<std::uint8_t>(input[0])) << 8) |
            static_cast<std::uint8_t>(input[1]);
        input.remove_prefix(2);
        const std::string_view bytes = input.substr(0, length);
        input.remove_prefix(bytes.size());
        try {
            const Frame frame = ReadFrame(bytes);
            if (frame.kind != Frame::Kind::XLogData) continue;
            const Message message = decoder.Decode(frame.data);
            if (message.kind == Message::Kind::Change) Check(message.change, mapping);
            for (const FollowedTable* table : message.truncated) {
                RowChange change;
                change.kind = RowChange::Kind::Truncate;
                change.table = table;
                Check(change, mapping);
            }
        } catch (const MalformedMessage&) {
        }
    }
    return 0;
}
