#include "TestServers.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "text/Utf8.h"

namespace qt {

namespace {

// The few JSON shapes the two logs use: objects, arrays and strings.
struct Cursor {
    const std::string& s;
    size_t at = 0;
    void Space() {
        while (at < s.size() && (s[at] == ' ' || s[at] == '\t' || s[at] == '\r' || s[at] == '\n')) ++at;
    }
    bool Take(char c) {
        Space();
        if (at < s.size() && s[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
};

bool Hex4(Cursor& c, unsigned& v) {
    if (c.at + 4 > c.s.size()) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) {
        const char h = c.s[c.at++];
        v <<= 4;
        if (h >= '0' && h <= '9') v |= h - '0';
        else if (h >= 'a' && h <= 'f') v |= h - 'a' + 10;
        else if (h >= 'A' && h <= 'F') v |= h - 'A' + 10;
        else return false;
    }
    return true;
}

bool String(Cursor& c, std::string& out) {
    if (!c.Take('"')) return false;
    out.clear();
    while (c.at < c.s.size()) {
        const char ch = c.s[c.at++];
        if (ch == '"') return true;
        if (ch != '\\') {
            out += ch;
            continue;
        }
        if (c.at >= c.s.size()) return false;
        const char e = c.s[c.at++];
        switch (e) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                unsigned v = 0;
                if (!Hex4(c, v)) return false;
                if (v >= 0xD800 && v < 0xDC00 && c.s.compare(c.at, 2, "\\u") == 0) {
                    c.at += 2;
                    unsigned low = 0;
                    if (!Hex4(c, low)) return false;
                    v = 0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00);
                }
                AppendUtf8(out, v);
                break;
            }
            default: out += e; break;  // \" \\ \/
        }
    }
    return false;
}

bool Headers(Cursor& c, std::vector<std::pair<std::string, std::string>>& out, bool dropEmpty) {
    if (!c.Take('[')) return false;
    if (c.Take(']')) return true;
    do {
        std::pair<std::string, std::string> h;
        if (!c.Take('[') || !String(c, h.first) || !c.Take(',') || !String(c, h.second) || !c.Take(']'))
            return false;
        // nginx can only log a missing header as an empty value.
        if (!dropEmpty || !h.second.empty()) out.push_back(std::move(h));
    } while (c.Take(','));
    return c.Take(']');
}

std::string Lower(std::string s) {
    for (auto& ch : s)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return s;
}

std::string LogPath(const char* var) { return Env(var); }

std::vector<ServerRequest> ParseSince(const std::string& path, uint64_t mark) {
    std::vector<ServerRequest> out;
    if (path.empty()) return out;
    const std::string all = ReadBytes(UnixToWine(path));
    if (mark >= all.size()) return out;
    size_t at = static_cast<size_t>(mark);
    while (at < all.size()) {
        size_t end = all.find('\n', at);
        if (end == std::string::npos) break;  // a line still being written
        ServerRequest r;
        if (ParseRequestLine(all.substr(at, end - at), r)) out.push_back(std::move(r));
        at = end + 1;
    }
    return out;
}

}  // namespace

bool ParseRequestLine(const std::string& line, ServerRequest& out) {
    Cursor c{line};
    ServerRequest r;
    if (!c.Take('{')) return false;
    if (c.Take('}')) return false;
    do {
        std::string key;
        if (!String(c, key) || !c.Take(':')) return false;
        if (key == "headers") {
            // The server name comes first in both logs, so it is known here.
            if (!Headers(c, r.headers, r.server == "nginx")) return false;
            continue;
        }
        std::string value;
        if (!String(c, value)) return false;
        if (key == "server") r.server = value;
        else if (key == "method") r.method = value;
        else if (key == "target") r.target = value;
        else if (key == "user_agent") r.userAgent = value;
        else if (key == "status") r.status = value;
        else if (key == "bytes") r.bytes = value;
    } while (c.Take(','));
    if (!c.Take('}') || r.server.empty()) return false;
    out = std::move(r);
    return true;
}

std::string ServerRequest::Header(const std::string& name) const {
    const std::string want = Lower(name);
    for (const auto& [k, v] : headers)
        if (Lower(k) == want) return v;
    return {};
}

bool ServerRequest::Has(const std::string& name) const {
    const std::string want = Lower(name);
    for (const auto& h : headers)
        if (Lower(h.first) == want) return true;
    return false;
}

std::wstring WwwRoot() { return UnixToWine(Env("QIRELL_TEST_WWW")); }

std::wstring WwwPath(const std::string& rel) {
    std::wstring p = WwwRoot() + L"\\" + Wide(rel);
    for (auto& ch : p)
        if (ch == L'/') ch = L'\\';
    return p;
}

bool PublishFile(const std::string& rel, const std::string& bytes) {
    const std::wstring path = WwwPath(rel);
    const size_t cut = path.rfind(L'\\');
    if (cut != std::wstring::npos) MakeDirs(path.substr(0, cut));
    return WriteBytes(path, bytes);
}

std::string HttpPort() { return Env("QIRELL_TEST_HTTP_PORT"); }
std::string HttpsPort() { return Env("QIRELL_TEST_HTTPS_PORT"); }
std::string FaultPort() { return Env("QIRELL_TEST_FAULT_PORT"); }

std::string HttpUrl(const std::string& rel) { return "http://localhost:" + HttpPort() + "/" + rel; }
std::string HttpsUrl(const std::string& rel) { return "https://localhost:" + HttpsPort() + "/" + rel; }
std::string FaultUrl(const std::string& fault, const std::string& rel) {
    return "http://localhost:" + FaultPort() + "/" + (fault.empty() ? "" : fault + "/") + rel;
}

LogMark MarkLogs() {
    LogMark m;
    const std::string nginx = LogPath("QIRELL_TEST_NGINX_LOG");
    const std::string fault = LogPath("QIRELL_TEST_FAULT_LOG");
    if (!nginx.empty()) m.nginx = SizeOf(UnixToWine(nginx));
    if (!fault.empty()) m.fault = SizeOf(UnixToWine(fault));
    return m;
}

std::vector<ServerRequest> RequestsSince(const LogMark& mark) {
    std::vector<ServerRequest> all = ParseSince(LogPath("QIRELL_TEST_NGINX_LOG"), mark.nginx);
    std::vector<ServerRequest> fault = ParseSince(LogPath("QIRELL_TEST_FAULT_LOG"), mark.fault);
    all.insert(all.end(), fault.begin(), fault.end());
    return all;
}

std::vector<ServerRequest> WaitForRequests(const LogMark& mark, size_t count, unsigned timeoutMs) {
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    for (;;) {
        std::vector<ServerRequest> seen = RequestsSince(mark);
        if (seen.size() >= count || GetTickCount64() >= until) return seen;
        Sleep(20);
    }
}

std::vector<ServerRequest> RequestsFor(const LogMark& mark, const std::string& part) {
    std::vector<ServerRequest> out;
    for (auto& r : RequestsSince(mark))
        if (r.target.find(part) != std::string::npos) out.push_back(std::move(r));
    return out;
}

}  // namespace qt

namespace {

bool ServersAvailable() {
    return !qt::Env("QIRELL_TEST_WWW").empty() && !qt::Env("QIRELL_TEST_HTTP_PORT").empty() &&
           !qt::Env("QIRELL_TEST_HTTPS_PORT").empty() && !qt::Env("QIRELL_TEST_FAULT_PORT").empty();
}

// Every binary that talks to the servers fails at once without them, saying how to run it, instead of
// skipping its cases to a green result.
class ServersRequired : public ::testing::Environment {
public:
    void SetUp() override {
        if (!ServersAvailable())
            FAIL() << "test servers not running: the QIRELL_TEST_* variables are not set. Run it as "
                   << "CTEST_ARGS=\"-R <test>\" bash tests/harness/run.sh build";
    }
};

::testing::Environment* const gServersRequired = ::testing::AddGlobalTestEnvironment(new ServersRequired);

}  // namespace
