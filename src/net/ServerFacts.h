#pragma once
// What the patcher fixes about the update server.
constexpr wchar_t kUserAgent[] = L"QirellPatcher/1.0";
constexpr wchar_t kSideFileSuffix[] = L".patch.tmp";

// Resolve, connect, send and receive limits in milliseconds, set on each request.
struct HttpTimeouts {
    int resolve, connect, send, receive;
};
constexpr HttpTimeouts kManifestTimeouts{10000, 10000, 15000, 15000};
constexpr HttpTimeouts kFileTimeouts{10000, 15000, 30000, 60000};
