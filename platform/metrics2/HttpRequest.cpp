#include "metrics2/HttpRequest.h"

#include <algorithm>

namespace Metrics {
namespace {

// A byte of a token (method, field name): RFC 9110's tchar.
bool IsTokenChar(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool IsToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return IsTokenChar(static_cast<unsigned char>(c));
    });
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::string PathOf(std::string_view target) {
    for (std::string_view scheme : {"http://", "https://"}) {
        if (target.size() >= scheme.size() &&
            EqualsNoCase(target.substr(0, scheme.size()), scheme)) {
            const std::size_t slash = target.find('/', scheme.size());
            target = slash == std::string_view::npos ? "/" : target.substr(slash);
            break;
        }
    }
    return std::string(target.substr(0, target.find('?')));
}

// What the header fields said so far.
struct Fields {
    int hosts = 0;
    bool close = false;
    bool keepAlive = false;
};

bool ReadRequestLine(std::string_view line, HttpRequestHead& head) {
    const std::size_t first = line.find(' ');
    if (first == std::string_view::npos) return false;
    const std::size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos) return false;
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    if (!IsToken(method) || target.empty() || (version != "HTTP/1.1" && version != "HTTP/1.0"))
        return false;
    // Control characters are refused before this; HT is the one left to refuse in a target.
    if (target.find('\t') != std::string_view::npos) return false;
    head.method = method;
    head.target = target;
    head.path = PathOf(target);
    head.version = version;
    return true;
}

bool ReadField(std::string_view line, Fields& fields) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) return false;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = Trim(line.substr(colon + 1));
    if (EqualsNoCase(name, "content-length")) {
        // Any length but 0 announces a body (and a malformed one is refused as well).
        return !value.empty() && value.find_first_not_of('0') == std::string_view::npos;
    }
    if (EqualsNoCase(name, "transfer-encoding")) return false;
    if (EqualsNoCase(name, "host")) {
        ++fields.hosts;
    } else if (EqualsNoCase(name, "connection")) {
        for (std::string_view rest = value; !rest.empty();) {
            const std::size_t comma = rest.find(',');
            const std::string_view option = Trim(rest.substr(0, comma));
            fields.close |= EqualsNoCase(option, "close");
            fields.keepAlive |= EqualsNoCase(option, "keep-alive");
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        }
    }
    return true;
}

}  // namespace

HttpParse ParseHttpRequest(std::string_view buffer, std::size_t maxBytes, HttpRequestHead& out) {
    const std::size_t limit = std::min(buffer.size(), maxBytes);
    HttpRequestHead head;
    Fields fields;
    bool requestLine = true;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < limit; ++i) {
        const unsigned char c = static_cast<unsigned char>(buffer[i]);
        if (c == '\r') {
            // A CR must end its line; whether it does is known once the next byte is here.
            if (i + 1 < limit && buffer[i + 1] != '\n') return HttpParse::Bad;
            continue;
        }
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7f) return HttpParse::Bad;
        if (c != '\n') continue;

        const std::size_t lineEnd = i > lineStart && buffer[i - 1] == '\r' ? i - 1 : i;
        const std::string_view line = buffer.substr(lineStart, lineEnd - lineStart);
        lineStart = i + 1;
        if (requestLine) {
            if (!ReadRequestLine(line, head)) return HttpParse::Bad;
            requestLine = false;
        } else if (!line.empty()) {
            if (!ReadField(line, fields)) return HttpParse::Bad;
        } else {
            const bool http11 = head.version == "HTTP/1.1";
            if (fields.hosts > 1 || (http11 && fields.hosts != 1)) return HttpParse::Bad;
            head.keepAlive = !fields.close && (http11 || fields.keepAlive);
            head.consumed = i + 1;
            out = std::move(head);
            return HttpParse::Complete;
        }
    }
    return buffer.size() > maxBytes ? HttpParse::TooLarge : HttpParse::Incomplete;
}

}  // namespace Metrics
