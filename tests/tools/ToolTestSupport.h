#pragma once
// What the tool's native tests share: scratch folders and the built tool run as an operator runs it.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "Tool.h"

struct Folder {
    fs::path root;
    Folder() {
        static int counter = 0;
        root = fs::temp_directory_path() /
               ("qirell-tool-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                std::to_string(std::random_device{}()) + "-" + std::to_string(counter++));
        fs::remove_all(root);
        fs::create_directories(root);
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    fs::path Put(const std::string& rel, const std::string& bytes) const {
        fs::path p = root / Utf8ToPath(rel);
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
};

inline std::string Slurp(const fs::path& p) {
    std::string s;
    EXPECT_TRUE(ReadWholeFile(p, s)) << p;
    return s;
}

inline std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }

// Runs the built tool; returns its exit code, stdout+stderr in output.
inline int Tool(const std::string& args, std::string& output) {
    fs::path log = fs::temp_directory_path() / ("qirell-tool-log-" + std::to_string(std::random_device{}()));
    std::string cmd = std::string("'") + QIRELL_TOOL_PATH + "' " + args + " >" + Quote(log) + " 2>&1";
    int status = std::system(cmd.c_str());
    output = Slurp(log);
    fs::remove(log);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
