#pragma once
// The loopback test servers (tests/servers/servers.sh), as the tests inside Wine see them. A binary
// that links these helpers fails before its first case when the servers' variables are missing.
//
//   qt::PublishFile("mytest/a.bin", bytes);                 // DIR/www/mytest/a.bin
//   std::string url = qt::HttpUrl("mytest/a.bin");          // http://localhost:PORT/mytest/a.bin
//   qt::HttpsUrl(...)                                       // https://localhost:PORT/... (test CA trusted)
//   qt::FaultUrl("cut/10", "mytest/a.bin")                  // http://localhost:FPORT/cut/10/mytest/a.bin
//   qt::LogMark mark = qt::MarkLogs();
//   ... requests ...
//   std::vector<qt::ServerRequest> seen = qt::WaitForRequests(mark, 1);  // both servers, since the mark
//
// nginx writes its log line after the answer has gone out, so read it with WaitForRequests (bounded),
// not right after the call. The fault server logs before answering. Fault prefixes are documented at
// the top of tests/servers/fault_server.py (status/<code>, cut/<n>, extra/<n>, extra-open/<n>, wrong,
// slow/<bps>, stall/<n>/<seconds>, endless, drop, and the Range-answering cuts/<a,b,...>, range200/<n>,
// badrange/<n>); no prefix serves the file as it is.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qt {

// www root of both servers, as a Wine path; rel uses '/' and becomes '\'.
std::wstring WwwRoot();
std::wstring WwwPath(const std::string& rel);
// Writes bytes to WwwPath(rel), creating folders; false when the write failed.
bool PublishFile(const std::string& rel, const std::string& bytes);

std::string HttpUrl(const std::string& rel);   // rel without the leading '/', may hold a query
std::string HttpsUrl(const std::string& rel);
std::string FaultUrl(const std::string& fault, const std::string& rel);  // fault "" = plain file
std::string HttpPort();
std::string HttpsPort();
std::string FaultPort();

struct ServerRequest {
    std::string server;     // "nginx" or "fault"
    std::string method;
    std::string target;     // path and query as sent
    std::string userAgent;  // "" when none was sent
    std::string status;     // nginx: the answer's status, and the body bytes it sent
    std::string bytes;
    std::vector<std::pair<std::string, std::string>> headers;  // as sent (nginx: the ones it can name)
    // Value of a header by case-insensitive name; "" when absent.
    std::string Header(const std::string& name) const;
    bool Has(const std::string& name) const;
};

// Byte offsets into both logs; requests after a mark are the ones made since.
struct LogMark {
    uint64_t nginx = 0;
    uint64_t fault = 0;
};
LogMark MarkLogs();
std::vector<ServerRequest> RequestsSince(const LogMark& mark);  // nginx's first, then the fault server's
// Waits (at most timeoutMs) until at least count requests are logged since mark, then returns them all.
std::vector<ServerRequest> WaitForRequests(const LogMark& mark, size_t count, unsigned timeoutMs = 3000);
// Requests since mark whose target contains part (e.g. a test's own folder name).
std::vector<ServerRequest> RequestsFor(const LogMark& mark, const std::string& part);

// One log line parsed; false when it is not one of the servers' JSON lines.
bool ParseRequestLine(const std::string& line, ServerRequest& out);

}  // namespace qt
