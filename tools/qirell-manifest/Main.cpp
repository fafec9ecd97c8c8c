// qirell-manifest: builds and checks the update server's manifest and file tree.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Tool.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr const char* kHelp =
    "usage: qirell-manifest COMMAND ...\n"
    "  build RELEASE_DIR --version TEXT [--previous OLD_MANIFEST] [--url-prefix PREFIX]\n"
    "        [--connections N] [--resume] [--delta [--delta-min-size BYTES]] [--mirror URL ...]\n"
    "        [--next URL [--while-playing [--max-kib-per-s N]]] [--sign KEYFILE [--expires-days N]] -o OUT_DIR\n"
    "  announce OUT_DIR (--next URL [--while-playing [--max-kib-per-s N]] | --withdraw)\n"
    "        [--sign KEYFILE [--expires-days N]]\n"
    "  verify OUT_DIR [--public-key PUBFILE ...] [--mirrors] [--next-dir DIR]\n"
    "  keygen KEYFILE\n"
    "  sign OUT_DIR --key KEYFILE\n"
    "  stamp PATCHER.exe --url URL [--public-key PUBFILE ...] -o OUT.exe\n"
    "'qirell-manifest COMMAND --help' describes each command.\n";

int RunCommand(const std::vector<std::string>& args) {
    if (args.empty()) {
        std::fputs(kHelp, stderr);
        return 2;
    }
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "build") return RunBuild(rest);
    if (args[0] == "announce") return RunAnnounce(rest);
    if (args[0] == "verify") return RunVerify(rest);
    if (args[0] == "keygen") return RunKeygen(rest);
    if (args[0] == "sign") return RunSign(rest);
    if (args[0] == "stamp") return RunStamp(rest);
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kHelp, stdout);
        return 0;
    }
    std::fprintf(stderr, "qirell-manifest: unknown command %s\n%s", args[0].c_str(), kHelp);
    return 2;
}

// A file system or memory failure the steps did not expect ends the command with its text, not a crash.
int Run(const std::vector<std::string>& args) {
    try {
        return RunCommand(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qirell-manifest: %s\n", e.what());
        return 1;
    }
}

}  // namespace

#ifdef _WIN32
// Wide arguments, so release folders with non-ANSI names work on Windows too.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string s(n > 0 ? static_cast<size_t>(n - 1) : 0, '\0');
        if (n > 1) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, s.data(), n, nullptr, nullptr);
        args.push_back(s);
    }
    return Run(args);
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
