#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "net/Proxy.h"
#include "net/WinHttpHandle.h"

// The WinHTTP session of one run. The manifest fetch and every download of the run share it, so
// requests to one host reuse its kept-alive connections. Open it once per run (RunPatch does), pass
// it down, let it close when the run ends. Safe to share between threads, one request per thread.
// It goes through the player's proxy as Windows settings name it (net/Proxy.h).
struct HttpSession {
    UniqueInternet handle;
    std::unique_ptr<ProxyRoutes> proxy;  // set when a script or auto-detection chooses per host
};
bool OpenHttpSession(HttpSession& session);
// Sessions opened in this process so far; tests count a run's sessions with it.
extern std::atomic<unsigned> gHttpSessionsOpened;

// A manifest is a few megabytes at most; a server streaming without end must not exhaust memory.
constexpr size_t kManifestBodyCap = size_t(64) << 20;

// How a GET of a whole body ended; the run's words for each code are in patch/Words.h.
enum class GetCode : uint8_t {
    Ok,
    BadUrl,          // the address cannot be requested; nothing was sent
    NoSession,       // WinHTTP could not be opened
    NoConnection,    // the server could not be connected
    NoRequest,       // the request could not be made
    ConnectionLost,  // the request or its answer was lost, or the body was cut short
    HttpStatus,      // the server answered with httpStatus instead of 200
    TooLarge,        // the body is longer than the cap
};
struct GetResult {
    GetCode code = GetCode::Ok;
    uint32_t httpStatus = 0;   // with HttpStatus
    uint32_t systemError = 0;  // the Win32 or WinHTTP error behind a failure, when there was one
    bool ok() const { return code == GetCode::Ok; }
};

// One blocking GET of the whole body into memory; Ok exactly when the server answered 200 with at
// most bodyCap bytes. body is changed only then.
GetResult HttpGetToMemory(HttpSession& session, const std::wstring& requestUrl, std::string& body,
                          size_t bodyCap = kManifestBodyCap);
// The same on a session of its own, for callers outside a run.
GetResult HttpGetToMemory(const std::wstring& requestUrl, std::string& body);

// How a GET for bytes [first, last] began (last kOpenEnd: to the end; first 0 and kOpenEnd: no Range header).
enum class RangeStart : uint8_t {
    Unsent,    // the request or its answer's head was lost
    Whole,     // 200: the whole file follows
    Part,      // 206 with a Content-Range of exactly the span asked
    BadRange,  // 206 with any other Content-Range
    Refused,   // any other status
};
// Sends the prepared request and reads the answer's head; status gets the HTTP status. With a
// validator (ETag or Last-Modified) a ranged request carries it as If-Range: a server whose file
// changed since answers 200 with the whole new file.
RangeStart StartRangedGet(HINTERNET request, uint64_t first, uint64_t last, uint64_t fileSize, DWORD& status,
                          const std::string& ifRange = std::string());

// Receives body bytes in order; returning false stops the transfer.
using ByteSink = bool (*)(void* context, const uint8_t* data, size_t size);
// How many bytes the next read may ask for (the read buffer's size at most); asked before each read.
using ReadLimit = size_t (*)(void* context);

// GET of bytes [first, last] of a file of fileSize bytes (kUnknownTotal from net/RangeRules.h
// when not known) with a Range header, file time-outs. True only when the server answered 206 with a
// Content-Range of exactly that span and sent exactly last - first + 1 bytes, all handed to sink.
// Anything else (200 included: the server ignored the range) is false. With a limit, no read asks for more
// than it allows; the sink and the limit share the context.
bool HttpGetRange(HttpSession& session, const std::wstring& url, uint64_t first, uint64_t last, uint64_t fileSize,
                  ByteSink sink, void* context, ReadLimit limit = nullptr);
