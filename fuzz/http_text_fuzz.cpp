// Fuzz target: the request-line text helpers on raw bytes, each against a plain reference:
// Trim, StrUpper, CleanURL (decoding checked against strtol, which its escapes imitate) and
// Parse_HTTP_Header as a request line and as a header line.
//
// Input: one byte choosing the parser's state (bit 0), then the text, cut at its first NUL as
// the reader's C strings are.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/log.h"
#include "http/request_reader.h"
#include "http/url_text.h"

namespace {

void check(bool ok, const char* what, const std::string& text) {
    if (ok)
        return;
    fprintf(stderr, "property violated: %s, text of %zu bytes\n", what, text.size());
    abort();
}

bool space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool kept_at_end(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '*';
}

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// The decoding that CleanURL documents, with the C library's strtol reading each escape.
std::string decoded(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const char c = s[i];
        if (c == '+') {
            out += ' ';
            ++i;
        } else if (c != '%') {
            out += c;
            ++i;
        } else if (i + 2 >= s.size()) {
            out += s.substr(i);
            break;
        } else {
            const char escape[3] = {s[i + 1], s[i + 2], '\0'};
            const char byte = static_cast<char>(strtol(escape, nullptr, 16) & 0xFF);
            if (byte == '\0')
                break;
            out += byte;
            i += 3;
        }
    }
    return out;
}

void check_text_helpers(const std::string& text) {
    std::string t = text;
    Trim(t.data());
    const std::string trimmed(t.c_str());
    size_t keep = text.size();
    while (keep > 0 && !kept_at_end(static_cast<unsigned char>(text[keep - 1])))
        --keep;
    check(trimmed == text.substr(0, keep), "Trim", text);

    std::string u = text;
    StrUpper(u.data());
    check(u == upper(text), "StrUpper", text);

    std::string d = text;
    CleanURL(d.data());
    check(std::string(d.c_str()) == decoded(text), "CleanURL", text);
}

void check_request_line(const std::string& line, const ReqInfo& req, int result) {
    size_t at;
    int method;
    if (line.compare(0, 4, "GET ") == 0) {
        at = 4;
        method = METHOD_GET;
    } else if (line.compare(0, 5, "HEAD ") == 0) {
        at = 5;
        method = METHOD_HEAD;
    } else {
        check(result == -1 && req.status == 501 && req.method == METHOD_UNSUPPORTED, "501", line);
        check(req.resource == nullptr && req.state == 1, "501 kept something", line);
        return;
    }
    while (at < line.size() && space(static_cast<unsigned char>(line[at])))
        ++at;
    const std::string rest = line.substr(at);
    const std::string resource = rest.substr(0, rest.find(' '));
    check(req.method == method, "method", line);
    if (resource.empty()) {
        check(result == -1 && req.status == 400 && req.resource == nullptr, "400", line);
        return;
    }
    check(result == 0 && req.status == 200 && req.state == 0, "accepted request line", line);
    check(req.resource != nullptr && resource == req.resource, "resource", line);
    const int kind = rest.find("HTTP/") != std::string::npos ? REQUEST_FULL : REQUEST_SIMPLE;
    check(req.kind == kind, "kind", line);
}

void check_header_line(const std::string& line, const ReqInfo& req, int result) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) {
        check(result == -1 && req.status == 400, "header line without a colon", line);
        return;
    }
    check(result == 0 && req.status == 200, "header line refused", line);
    size_t at = colon + 1;
    while (at < line.size() && space(static_cast<unsigned char>(line[at])))
        ++at;
    const std::string value = line.substr(at);
    const std::string name = upper(line.substr(0, colon));
    const char* want_host = name == "HOST" && !value.empty() ? value.c_str() : nullptr;
    const char* want_agent = name == "USER-AGENT" && !value.empty() ? value.c_str() : nullptr;
    const char* want_referer = name == "REFERER" && !value.empty() ? value.c_str() : nullptr;
    auto same = [](const char* got, const char* want) {
        return got == nullptr ? want == nullptr : want != nullptr && strcmp(got, want) == 0;
    };
    check(same(req.host, want_host), "Host", line);
    check(same(req.useragent, want_agent), "User-Agent", line);
    check(same(req.referer, want_referer), "Referer", line);
    check(req.resource == nullptr, "header line set the resource", line);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    log_fp.store(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const bool request_line = (data[0] & 1) == 0;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    text.resize(strlen(text.c_str()));

    check_text_helpers(text);

    ReqInfo req;
    InitReqInfo(&req);
    req.state = request_line ? 1 : 0;
    const int result = Parse_HTTP_Header(text.c_str(), &req);
    if (request_line)
        check_request_line(text, req, result);
    else
        check_header_line(text, req, result);
    FreeReqInfo(&req);
    return 0;
}
