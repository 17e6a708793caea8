// Support for the CLI tests: running the real irlib binary with its output captured, a
// temporary directory per test, file helpers, and this test's own normalisation of .ir
// text (independent of the tool's parser, so that a parser bug cannot hide itself).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace irlib::test {

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

using Bytes = std::vector<uint8_t>;

class CliTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs `irlib args...` in the test's directory.
    RunResult Run(const std::vector<std::string>& args) const;
    // Runs it and expects exit status 0, returning standard output.
    std::string Ok(const std::vector<std::string>& args) const;

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    void WriteText(const std::string& name, const std::string& text) const;
    std::string ReadText(const std::string& name) const;
    Bytes ReadBytes(const std::string& name) const;
    void WriteBytes(const std::string& name, const Bytes& bytes) const;

    std::string dir_;
};

// Whitespace runs become one space, line ends lose their CR, empty lines and bare "#"
// lines go: what stays is every signal field, comment and header line in order.
std::string NormaliseIr(const std::string& text);

// Every *.ir file below `root`: relative path -> contents.
std::map<std::string, std::string> ReadIrTree(const std::string& root);

// The lines of `text` that start with `prefix`.
std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix);

// The number in a --json document after "key": (first occurrence), or -1.
long JsonNumber(const std::string& json, const std::string& key);

}  // namespace irlib::test
