#pragma once
// The player's proxy, as Windows settings give it (WinHttpGetIEProxyConfigForCurrentUser), read once
// per session. A named proxy with its bypass list goes to the session itself; a configuration script
// or auto-detection is resolved per host with WinHttpGetProxyForUrl, and that host's requests connect
// through a session opened for the proxy it names (WINHTTP_OPTION_PROXY on a request is not honoured
// everywhere; a session's proxy is).
#include <map>
#include <mutex>
#include <string>

#include "net/WinHttpHandle.h"

struct UserProxySettings {
    std::wstring proxy;   // named proxy list as the settings hold it; empty: none
    std::wstring bypass;  // its bypass list ("<local>" included as written)
    std::wstring scriptUrl;  // automatic configuration script; empty: none
    bool autoDetect = false;
};
UserProxySettings ReadUserProxySettings();

// What a session needs to route requests: the per-host choices when a script or auto-detection is set.
struct ProxyRoutes {
    UserProxySettings settings;
    std::mutex lock;  // guards the members below; held while a host is resolved
    bool detectionFailed = false;  // no script was found: later hosts do not search again
    std::map<std::wstring, HINTERNET> byHost;           // "scheme://host:port" -> session to connect on
    std::map<std::wstring, UniqueInternet> sessions;    // one per proxy the choices name ("" direct)
};

// Access type, proxy and bypass for WinHttpOpen, from the settings. Nothing set: the default
// access type, as without this.
struct SessionProxy {
    DWORD accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    std::wstring proxy, bypass;
};
SessionProxy SessionProxyFor(const UserProxySettings& settings);
// True when requests need a per-host choice (a script or auto-detection is set).
bool NeedsPerHostProxy(const UserProxySettings& settings);

// The session the target's host is connected on (resolving that host the first time): one opened for
// the proxy chosen for it, or session itself when nothing was chosen.
HINTERNET SessionForHost(HINTERNET session, ProxyRoutes& routes, const std::wstring& url, const RequestTarget& target);
