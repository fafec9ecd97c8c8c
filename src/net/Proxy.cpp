#include "net/Proxy.h"

#include "net/ServerFacts.h"

namespace {

std::wstring Taken(LPWSTR text) {
    std::wstring copy = text ? text : L"";
    if (text) GlobalFree(text);
    return copy;
}

std::wstring HostKey(const RequestTarget& target) {
    return std::wstring(target.scheme == INTERNET_SCHEME_HTTPS ? L"https://" : L"http://") + target.host + L":" +
           std::to_wstring(target.port);
}

struct Choice {
    bool resolved = false;  // false: the session's own setting (named proxy or direct) applies
    bool direct = true;
    std::wstring proxy, bypass;
};

// One call of WinHttpGetProxyForUrl; false when it found nothing for url.
bool AskProxyForUrl(HINTERNET session, const std::wstring& url, DWORD flags, const std::wstring& scriptUrl,
                    Choice& choice) {
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = flags;
    if (flags & WINHTTP_AUTOPROXY_AUTO_DETECT)
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    if (flags & WINHTTP_AUTOPROXY_CONFIG_URL) options.lpszAutoConfigUrl = scriptUrl.c_str();
    // Proxies that ask for Windows credentials get the logged-on user's while the script is fetched.
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetProxyForUrl(session, url.c_str(), &options, &info)) return false;
    choice.resolved = true;
    choice.proxy = Taken(info.lpszProxy);
    choice.bypass = Taken(info.lpszProxyBypass);
    choice.direct = info.dwAccessType == WINHTTP_ACCESS_TYPE_NO_PROXY || choice.proxy.empty();
    return true;
}

Choice Resolve(HINTERNET session, ProxyRoutes& routes, const std::wstring& url) {
    Choice choice;
    const UserProxySettings& s = routes.settings;
    if (s.autoDetect && !routes.detectionFailed) {
        if (AskProxyForUrl(session, url, WINHTTP_AUTOPROXY_AUTO_DETECT, L"", choice)) return choice;
        // Where no script can be found for one host, none will be found for the next.
        if (GetLastError() == ERROR_WINHTTP_AUTODETECTION_FAILED) routes.detectionFailed = true;
    }
    if (!s.scriptUrl.empty() && AskProxyForUrl(session, url, WINHTTP_AUTOPROXY_CONFIG_URL, s.scriptUrl, choice))
        return choice;
    return Choice{};
}

// Under routes.lock: the session for a choice, opened the first time it is needed.
HINTERNET SessionFor(HINTERNET session, ProxyRoutes& routes, const Choice& choice) {
    if (!choice.resolved) return session;
    const std::wstring key = choice.direct ? std::wstring() : choice.proxy + L"|" + choice.bypass;
    UniqueInternet& opened = routes.sessions[key];
    if (!opened) {
        opened.reset(choice.direct ? WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                                 WINHTTP_NO_PROXY_BYPASS, 0)
                                   : WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, choice.proxy.c_str(),
                                                 choice.bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : choice.bypass.c_str(),
                                                 0));
    }
    return opened ? opened.get() : session;
}

}  // namespace

UserProxySettings ReadUserProxySettings() {
    UserProxySettings out;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return out;
    out.autoDetect = config.fAutoDetect != FALSE;
    out.scriptUrl = Taken(config.lpszAutoConfigUrl);
    out.proxy = Taken(config.lpszProxy);
    out.bypass = Taken(config.lpszProxyBypass);
    return out;
}

SessionProxy SessionProxyFor(const UserProxySettings& settings) {
    SessionProxy session;
    if (settings.proxy.empty()) return session;
    session.accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    session.proxy = settings.proxy;
    session.bypass = settings.bypass;
    return session;
}

bool NeedsPerHostProxy(const UserProxySettings& settings) {
    return settings.autoDetect || !settings.scriptUrl.empty();
}

HINTERNET SessionForHost(HINTERNET session, ProxyRoutes& routes, const std::wstring& url, const RequestTarget& target) {
    std::lock_guard<std::mutex> guard(routes.lock);
    const std::wstring key = HostKey(target);
    auto known = routes.byHost.find(key);
    if (known == routes.byHost.end())
        known = routes.byHost.emplace(key, SessionFor(session, routes, Resolve(session, routes, url))).first;
    return known->second;
}
