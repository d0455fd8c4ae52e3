// Fuzz target: request heads as the metrics endpoint reads them (metrics2/HttpRequest.h). The
// first byte chooses the limit on a head's length; the rest are the bytes a connection received.
// Checked: what a Complete head holds (inside the limit, ending in a blank line, free of control
// characters, a token method, a known version, a path taken from the target) and that reading is
// the same however the bytes arrive: a shorter prefix of a complete head is Incomplete, more bytes
// after a verdict do not change it, and a limit one byte short of a complete head is TooLarge.
// Inputs are capped at 16 KiB.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <string>

#include "FuzzSupport.h"
#include "metrics2/HttpRequest.h"

using Metrics::HttpParse;
using Metrics::HttpRequestHead;

namespace {

bool SameHead(const HttpRequestHead& a, const HttpRequestHead& b) {
    return a.method == b.method && a.target == b.target && a.path == b.path &&
           a.version == b.version && a.keepAlive == b.keepAlive && a.consumed == b.consumed;
}

void CheckComplete(const std::string& bytes, std::size_t maxBytes, const HttpRequestHead& head) {
    VELFUZZ_CHECK(head.consumed > 0 && head.consumed <= bytes.size() && head.consumed <= maxBytes);
    const std::string text = bytes.substr(0, head.consumed);
    VELFUZZ_CHECK(text.ends_with("\n\n") || text.ends_with("\n\r\n"));
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        VELFUZZ_CHECK((u >= 0x20 && u != 0x7f) || c == '\t' || c == '\r' || c == '\n');
    }
    VELFUZZ_CHECK(head.version == "HTTP/1.0" || head.version == "HTTP/1.1");
    VELFUZZ_CHECK(text.starts_with(head.method + " " + head.target + " " + head.version));
    VELFUZZ_CHECK(!head.method.empty() &&
                  head.method.find_first_of(" \t:/\"") == std::string::npos);
    VELFUZZ_CHECK(!head.target.empty() && head.target.find_first_of(" \t") == std::string::npos);
    VELFUZZ_CHECK(head.path.find('?') == std::string::npos);
    VELFUZZ_CHECK(head.path == "/" || head.target.find(head.path) != std::string::npos);
    if (head.version == "HTTP/1.0" && head.keepAlive) {
        std::string lower = text;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        VELFUZZ_CHECK(lower.find("keep-alive") != std::string::npos);
    }

    // The head alone, and every shorter piece of it, read the same way as they arrive.
    HttpRequestHead again;
    VELFUZZ_CHECK(Metrics::ParseHttpRequest(text, head.consumed, again) == HttpParse::Complete);
    VELFUZZ_CHECK(SameHead(head, again));
    for (std::size_t cut : {head.consumed - 1, head.consumed / 2, std::size_t{1}}) {
        if (cut >= head.consumed) continue;
        VELFUZZ_CHECK(Metrics::ParseHttpRequest(text.substr(0, cut), maxBytes, again) ==
                      HttpParse::Incomplete);
    }
    VELFUZZ_CHECK(Metrics::ParseHttpRequest(bytes, head.consumed - 1, again) ==
                  HttpParse::TooLarge);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = (velfuzz::QuietHost(), true);
    (void)quiet;
    if (size < 1 || size > 16 * 1024) return -1;
    FuzzedDataProvider input(data, size);
    static const std::size_t kLimits[] = {8192, 16, 64, 256, 1024};
    const std::size_t choice = input.ConsumeIntegral<std::uint8_t>();
    const std::string bytes = input.ConsumeRemainingBytesAsString();
    const std::size_t maxBytes = choice < 5 ? kLimits[choice] : choice;

    HttpRequestHead head;
    const HttpParse verdict = Metrics::ParseHttpRequest(bytes, maxBytes, head);
    switch (verdict) {
        case HttpParse::Complete:
            CheckComplete(bytes, maxBytes, head);
            break;
        case HttpParse::Incomplete:
            VELFUZZ_CHECK(bytes.size() <= maxBytes);
            break;
        case HttpParse::TooLarge:
            VELFUZZ_CHECK(bytes.size() > maxBytes);
            break;
        case HttpParse::Bad:
            break;
    }
    // More bytes do not change a verdict once given.
    if (verdict != HttpParse::Incomplete) {
        HttpRequestHead longer;
        VELFUZZ_CHECK(Metrics::ParseHttpRequest(bytes + "\r\n\r\nGET / HTTP/1.1\r\n", maxBytes,
                                                longer) == verdict);
        VELFUZZ_CHECK(verdict != HttpParse::Complete || SameHead(head, longer));
    }
    return 0;
}
