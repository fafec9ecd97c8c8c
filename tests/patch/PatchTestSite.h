#pragma once
#include "patch/Reporter.h"
// A served update site per test case under the loopback servers' root, and in-process runs against it.
#include <cstdint>
#include <string>
#include <vector>

#include "TestServers.h"
#include "base/StatusBoard.h"
#include "patch/RunConfig.h"

namespace pt {

// Statuses to the board, for tests that drive a stage that asks nothing.
const Reporter& BoardReporter();

struct Entry {
    std::string path;
    std::string content;              // what the server publishes under files/<path>
    std::string url;                  // empty: the default address
    std::string sha256;               // empty: the digest of content
    int64_t size = -1;                // -1: the length of content
    bool publish = true;

    Entry(std::string p, std::string c, std::string u = "", std::string sha = "", int64_t sz = -1, bool pub = true)
        : path(std::move(p)), content(std::move(c)), url(std::move(u)), sha256(std::move(sha)), size(sz),
          publish(pub) {}
};

struct Site {
    std::string name;
    std::wstring root;  // Wine path of the case's folder on the server
    std::string httpBase;   // http://localhost:PORT/<name>/
    std::string faultBase;  // fault server, same files
    std::string httpsBase;
};

Site MakeSite(const std::string& name);
// Publishes every entry's content and writes manifest.json; returns its http address.
std::string Publish(const Site& site, const std::string& version, const std::vector<Entry>& entries,
                    const std::vector<std::string>& deleteFiles = {},
                    const std::vector<std::string>& deleteDirs = {}, const std::string& extraJson = "");
std::string ManifestText(const std::string& version, const std::vector<Entry>& entries,
                         const std::vector<std::string>& deleteFiles, const std::vector<std::string>& deleteDirs,
                         const std::string& extraJson);

struct RunResult {
    DWORD returned = 0;
    int exitCode = -1;
    bool ready = false;
    StatusSnapshot status;
    std::vector<std::wstring> questions;  // what the run asked, in order
    std::vector<std::string> log;         // the run's support log lines, in order
};
// What the next in-process runs are configured with; each run sets its own address and autoClose.
RunConfig& TestConfig();
// Runs one patch run on this thread with gameDir as the current directory. Its questions are answered
// from retries in order (true: Retry), then with Cancel.
RunResult RunInProcess(const std::wstring& gameDir, const std::string& manifestUrl, bool autoClose = true,
                       std::vector<bool> retries = {});

// Request targets (path and query) both servers logged since mark, once at least atLeast are there.
std::vector<std::string> TargetsSince(const qt::LogMark& mark, size_t atLeast);
// How many targets begin with prefix.
size_t CountStartingWith(const std::vector<std::string>& targets, const std::string& prefix);
std::string Joined(const std::vector<std::string>& targets);
// "http://127.0.0.1:PORT/folder/" on a loopback port nothing listens on: connections are refused.
std::string RefusingBase(const std::string& folder);
// Rounds of the randomised tests: the default, or QIRELL_SOAK_ROUNDS when that is more (the soak run).
int SoakRounds(int normal);

}  // namespace pt
