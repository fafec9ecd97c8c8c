#include "PatchTestSite.h"

#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "TestSupport.h"
#include "patch/Reporter.h"
#include "patch/RunPatch.h"

namespace pt {

Site MakeSite(const std::string& name) {
    Site s;
    s.name = name;
    s.root = qt::UnixToWine(qt::Env("QIRELL_TEST_WWW")) + L"\\" + qt::Wide(name);
    qt::RemoveTreeForTest(s.root);
    qt::MakeDirs(s.root);
    s.httpBase = "http://localhost:" + qt::Env("QIRELL_TEST_HTTP_PORT") + "/" + name + "/";
    s.httpsBase = "https://localhost:" + qt::Env("QIRELL_TEST_HTTPS_PORT") + "/" + name + "/";
    s.faultBase = "http://localhost:" + qt::Env("QIRELL_TEST_FAULT_PORT") + "/" + name + "/";
    return s;
}

namespace {

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string StringList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + Quote(items[i]);
    return out + "]";
}

}  // namespace

std::string ManifestText(const std::string& version, const std::vector<Entry>& entries,
                         const std::vector<std::string>& deleteFiles, const std::vector<std::string>& deleteDirs,
                         const std::string& extraJson) {
    std::string json = "{\n  \"version\": " + Quote(version) + ",\n  \"files\": [\n";
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        const std::string sha = e.sha256.empty() ? qt::Sha256Hex(e.content) : e.sha256;
        const uint64_t size = e.size < 0 ? e.content.size() : static_cast<uint64_t>(e.size);
        json += "    {\"path\": " + Quote(e.path) + ", \"size\": " + std::to_string(size) +
                ", \"sha256\": " + Quote(sha);
        if (!e.url.empty()) json += ", \"url\": " + Quote(e.url);
        json += i + 1 < entries.size() ? "},\n" : "}\n";
    }
    json += "  ],\n  \"delete_files\": " + StringList(deleteFiles) + ",\n  \"delete_dirs\": " +
            StringList(deleteDirs) + extraJson + "\n}\n";
    return json;
}

std::string Publish(const Site& site, const std::string& version, const std::vector<Entry>& entries,
                    const std::vector<std::string>& deleteFiles, const std::vector<std::string>& deleteDirs,
                    const std::string& extraJson) {
    for (const Entry& e : entries) {
        if (!e.publish) continue;
        std::wstring path = site.root + L"\\files\\" + qt::Wide(e.path);
        for (auto& c : path)
            if (c == L'/') c = L'\\';
        qt::MakeDirs(path.substr(0, path.rfind(L'\\')));
        qt::WriteBytes(path, e.content);
    }
    qt::WriteBytes(site.root + L"\\manifest.json", ManifestText(version, entries, deleteFiles, deleteDirs, extraJson));
    return site.httpBase + "manifest.json";
}

RunConfig& TestConfig() {
    static RunConfig config = [] {
        RunConfig c;
        c.exeName = L"QirellPatcher.exe";
        return c;
    }();
    return config;
}

namespace {

// Statuses go to the board, as the download stages write theirs there.
struct Answers {
    std::vector<bool> retries;
    RunResult* result;
    std::mutex logLock;  // helper threads log too
};

const Reporter kBoardReporter = {
    nullptr,
    [](void*, const std::wstring& headline, const std::wstring& detail, int progress) {
        UpdateStatus(headline, detail, progress);
    },
    [](void* c, const wchar_t* question) {
        Answers& a = *static_cast<Answers*>(c);
        const size_t n = a.result->questions.size();
        a.result->questions.push_back(question);
        return n < a.retries.size() && a.retries[n];
    },
    [](void*) { BeginRun(); },
    [](void*, bool ready) { ready ? EndRunSuccess() : EndRunFailure(); },
    [](void* c, const std::string& line) {
        if (!c) return;
        Answers& a = *static_cast<Answers*>(c);
        std::lock_guard<std::mutex> hold(a.logLock);
        a.result->log.push_back(line);
    },
};

}  // namespace

// Statuses to the board, for tests that drive a stage that asks nothing.
const Reporter& BoardReporter() { return kBoardReporter; }

RunResult RunInProcess(const std::wstring& gameDir, const std::string& manifestUrl, bool autoClose,
                       std::vector<bool> retries) {
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(gameDir.c_str());
    RunConfig config = TestConfig();
    config.manifestUrl = qt::Wide(manifestUrl);
    config.autoClose = autoClose;
    Board().mainWindow = nullptr;
    RunResult r;
    Answers answers{std::move(retries), &r};
    Reporter reporter = kBoardReporter;
    reporter.context = &answers;
    r.returned = RunPatch(config, reporter);
    r.exitCode = Board().exitCode;
    r.ready = Board().ready;
    r.status = ReadStatus();
    SetCurrentDirectoryW(previous);
    return r;
}

std::vector<std::string> TargetsSince(const qt::LogMark& mark, size_t atLeast) {
    std::vector<std::string> targets;
    for (const qt::ServerRequest& r : qt::WaitForRequests(mark, atLeast)) targets.push_back(r.target);
    return targets;
}

size_t CountStartingWith(const std::vector<std::string>& targets, const std::string& prefix) {
    size_t n = 0;
    for (const std::string& t : targets)
        if (t.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
}

std::string Joined(const std::vector<std::string>& targets) {
    std::string out;
    for (const std::string& t : targets) out += t + "\n";
    return out;
}

std::string RefusingBase(const std::string& folder) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    closesocket(s);
    return "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/" + folder + "/";
}

int SoakRounds(int normal) {
    const std::string v = qt::Env("QIRELL_SOAK_ROUNDS");
    const int n = v.empty() ? 0 : std::atoi(v.c_str());
    return std::max(n, normal);
}

}  // namespace pt
