// What the hct-sim tool tests share: one run of the command line in-process with its output and
// exit code caught, small text checks, and a fixture giving each test its own temporary folder.
#pragma once

#include "tools/hct-sim/cli.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace tooltest {

// What one run of hct-sim's command line gave: its exit code and both output streams.
struct Outcome {
    int code;
    std::string out;
    std::string err;
};

// Runs hct-sim's command line in-process, `input` as its standard input.
inline Outcome Cli(std::vector<std::string> args, const std::string &input = "") {
    std::ostringstream out, err;
    std::istringstream in(input);
    const int code = hct_sim::RunCli(args, out, err, in);
    return {code, out.str(), err.str()};
}

inline bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

inline std::vector<std::string> LinesOf(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Each test gets a folder of its own, named after its suite, the process and the test, made
// for the test and removed after it.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
               (std::string("hct-") + test->test_suite_name() + "-" + std::to_string(::getpid()) + "-" + test->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // The path of `name` in the test's folder.
    std::string Path(const std::string &name) const { return (dir_ / name).string(); }

    // Writes `content` byte for byte to `name` in the test's folder and gives its path.
    std::string File(const std::string &name, const std::string &content) const {
        std::ofstream(dir_ / name, std::ios::binary) << content;
        return Path(name);
    }
    std::string File(const std::string &name, const std::vector<uint8_t> &content) const {
        std::ofstream(dir_ / name, std::ios::binary)
            .write(reinterpret_cast<const char *>(content.data()), std::streamsize(content.size()));
        return Path(name);
    }

    std::filesystem::path dir_;
};

}  // namespace tooltest
