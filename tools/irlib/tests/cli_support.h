// Support for the CLI tests: the real irlib binary run by fork and exec in a temporary
// directory per test, its output sent to files (no pipes, so a chatty command cannot block),
// and this test's own normalisation of .ir text (independent of the tool's parser).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace irlib::test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct RunResult {
    int status = -1;
    std::string out, err;
};

inline std::string ReadPath(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "irlib_cli_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        if (!HasFailure()) fs::remove_all(dir_, ec);
    }

    // Runs `irlib args...` in the test's directory.
    RunResult Run(const std::vector<std::string>& args) const {
        const std::string outPath = Path(".stdout"), errPath = Path(".stderr");
        const pid_t pid = fork();
        if (pid == 0) {
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int in = open("/dev/null", O_RDONLY);
            if (chdir(dir_.c_str()) != 0 || out < 0 || err < 0 || in < 0) _exit(127);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char*> argv{const_cast<char*>(IRLIB_BINARY)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(IRLIB_BINARY, argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadText(".stdout"),
                ReadText(".stderr")};
    }
    // Runs it and expects exit status 0 and nothing on standard error; returns standard output.
    std::string Ok(const std::vector<std::string>& args) const {
        const RunResult r = Run(args);
        std::string line = "irlib";
        for (const auto& a : args) line += " " + a;
        EXPECT_EQ(r.status, 0) << line << "\n" << r.out << r.err;
        EXPECT_EQ(r.err, "") << line;
        return r.out;
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    void WriteText(const std::string& name, const std::string& text) const {
        fs::create_directories(fs::path(Path(name)).parent_path());
        std::ofstream(Path(name), std::ios::binary) << text;
    }
    std::string ReadText(const std::string& name) const { return ReadPath(Path(name)); }
    Bytes ReadBytes(const std::string& name) const {
        const std::string s = ReadText(name);
        return Bytes(s.begin(), s.end());
    }
    void WriteBytes(const std::string& name, const Bytes& b) const { WriteText(name, std::string(b.begin(), b.end())); }

    std::string dir_;
};

// Whitespace runs become one space, line ends lose their CR, empty lines and bare "#"
// lines go: what stays is every signal field, comment and header line in order.
inline std::string NormaliseIr(const std::string& text) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string word, joined;
        while (words >> word) joined += (joined.empty() ? "" : " ") + word;
        if (!joined.empty() && joined != "#") out += joined + "\n";
    }
    return out;
}

// Every *.ir file below `root`: relative path -> contents.
inline std::map<std::string, std::string> ReadIrTree(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file() && e.path().extension() == ".ir")
            files[e.path().lexically_relative(root).generic_string()] = ReadPath(e.path());
    return files;
}

// The lines of `text` that start with `prefix`.
inline std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    return lines;
}

// The number in a --json document after "key": (first occurrence), or -1.
inline long JsonNumber(const std::string& json, const std::string& key) {
    const std::string needle = "\"" + key + "\": ";
    const size_t at = json.find(needle);
    return at == std::string::npos ? -1 : std::stol(json.substr(at + needle.size()));
}

}  // namespace irlib::test
