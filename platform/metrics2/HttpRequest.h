// ParseHttpRequest: reads the head of one HTTP/1.x request (request line and header fields, up
// to the blank line) from the start of the bytes a connection has received, for
// MetricsHttpServer. A pure function of its input: no allocation beyond the result, no state.
//
// What it accepts: a request line `METHOD SP TARGET SP HTTP/1.0|HTTP/1.1`, then header lines
// `name: value`, then an empty line. Lines end in CRLF or in a bare LF (both are read as a line
// end; a CR not followed by LF is refused). It refuses (Bad): a malformed request line, another
// version, a header line without ':' or with a name that is not a token (so also whitespace
// before the colon and folded lines), a control character other than HT in a line, an HTTP/1.1
// request without exactly one Host field (or any request with two), and a request announcing a
// body (Content-Length other than 0, any Transfer-Encoding): the server takes no bodies, so the
// bytes after the head are the next request. A refusal is reported as soon as the line holding
// it is complete (a control character at once), so garbage is refused without waiting for a
// blank line; only the Host rule waits for the end of the head.
// Internal to the platform (not installed); exported so that the tests and the fuzz target call
// it. Thread contract: safe for concurrent use (it touches nothing but its arguments).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "velsys/Export.h"

namespace Metrics {

/// The head of one request, as ParseHttpRequest read it.
struct HttpRequestHead {
    /// The method, e.g. "GET" (case as sent: methods are case-sensitive).
    std::string method;
    /// The request target as sent, e.g. "/metrics?x=1".
    std::string target;
    /// The path the target names: the target without its query; for a target in absolute form
    /// ("http://host/metrics") the part from the first '/' after the authority ("/" if none).
    std::string path;
    /// "HTTP/1.0" or "HTTP/1.1".
    std::string version;
    /// Whether the connection stays open after the answer: for HTTP/1.1 unless a Connection
    /// field says "close"; for HTTP/1.0 only when one says "keep-alive" (and none "close").
    bool keepAlive = false;
    /// The length of the head, blank line included: where the next request starts.
    std::size_t consumed = 0;
};

/// What ParseHttpRequest found.
enum class HttpParse {
    Incomplete,  ///< no complete head yet, and nothing refused so far: read more
    Complete,    ///< a head was read into `out`
    Bad,         ///< the bytes are not an acceptable request head (see the file's comment)
    TooLarge     ///< more than maxBytes bytes arrived and no complete head fits in maxBytes
};

/// Reads the request head at the start of `buffer`; only its first `maxBytes` bytes are
/// examined (a head longer than that is TooLarge). Writes `out` only when it returns Complete;
/// the bytes after out.consumed are left alone.
VELPLATFORM_EXPORT HttpParse ParseHttpRequest(std::string_view buffer, std::size_t maxBytes,
                                              HttpRequestHead& out);

}  // namespace Metrics
