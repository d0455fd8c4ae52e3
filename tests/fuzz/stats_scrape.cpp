// Fuzz target: what velcache stats reads from a metrics endpoint (tools/velcache: ReadHttpAnswer
// and ParseScrape). The first byte chooses where the rest, the bytes a connection received, is
// cut in two: the part that has arrived and the part still to come. Checked: reading does not
// depend on how the bytes arrive (an answer complete in the first part is the same answer once
// the rest arrives, and once the connection ends; an answer refused in the first part is refused
// with more bytes), an ended connection always gets a verdict, a body stays within 16 MiB; and of
// the body read as a scrape (the bytes themselves when they are no answer), every row names a
// metric and holds a number ('-' only for a mean of nothing). Inputs are capped at 64 KiB.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include "Cli.h"
#include "FuzzSupport.h"

using velcli::HttpAnswer;

namespace {

// The verdict on `bytes`: an answer, nothing yet, or (refused) false.
struct Verdict {
    bool refused = false;
    std::optional<HttpAnswer> answer;
};

Verdict Read(const std::string& bytes, bool ended) {
    Verdict verdict;
    try {
        verdict.answer = velcli::ReadHttpAnswer(bytes, ended);
    } catch (const std::runtime_error&) {
        verdict.refused = true;
    }
    return verdict;
}

bool Same(const std::optional<HttpAnswer>& a, const std::optional<HttpAnswer>& b) {
    return a && b && a->status == b->status && a->reason == b->reason && a->body == b->body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = (velfuzz::QuietHost(), true);
    (void)quiet;
    if (size < 1 || size > 64 * 1024) return -1;
    FuzzedDataProvider input(data, size);
    const std::size_t cutAt = input.ConsumeIntegral<std::uint8_t>();
    const std::string bytes = input.ConsumeRemainingBytesAsString();
    const std::string arrived = bytes.substr(0, bytes.size() * cutAt / 255);

    const Verdict first = Read(arrived, false), more = Read(bytes, false), end = Read(bytes, true);
    VELFUZZ_CHECK(end.refused || end.answer);
    if (first.answer)
        VELFUZZ_CHECK(Same(first.answer, more.answer) && Same(first.answer, end.answer));
    if (first.refused) VELFUZZ_CHECK(more.refused && end.refused);
    if (more.answer) VELFUZZ_CHECK(Same(more.answer, end.answer));
    for (const Verdict* v : {&first, &more, &end}) {
        if (!v->answer) continue;
        VELFUZZ_CHECK(v->answer->status >= 100 && v->answer->status <= 999);
        VELFUZZ_CHECK(v->answer->body.size() <= velcli::kMaxStatsBody);
    }

    try {
        for (const velcli::StatsRow& row :
             velcli::ParseScrape(end.answer ? end.answer->body : bytes)) {
            VELFUZZ_CHECK(!row.metric.empty());
            for (const auto& label : row.labels) VELFUZZ_CHECK(!label.first.empty());
            if (row.value == "-") {
                VELFUZZ_CHECK(row.metric.ends_with(":mean"));
                continue;
            }
            char* stop = nullptr;
            std::strtod(row.value.c_str(), &stop);
            VELFUZZ_CHECK(!row.value.empty() && *stop == '\0');
        }
    } catch (const std::runtime_error& e) {
        VELFUZZ_CHECK(std::string(e.what()).starts_with("line "));
    }
    return 0;
}
