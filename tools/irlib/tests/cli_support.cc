// The CLI test harness: fork and exec of the built binary with stdout and stderr sent to
// files (no pipes, so a chatty command cannot block), and the helpers around it.
#include "cli_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace irlib::test {

namespace fs = std::filesystem;

void CliTest::SetUp() {
    std::string pattern = (fs::temp_directory_path() / "irlib_cli_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
}

void CliTest::TearDown() {
    std::error_code ec;
    if (!HasFailure()) fs::remove_all(dir_, ec);
}

RunResult CliTest::Run(const std::vector<std::string>& args) const {
    const std::string outPath = Path(".stdout"), errPath = Path(".stderr");
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir_.c_str()) != 0) _exit(127);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(IRLIB_BINARY));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(IRLIB_BINARY, argv.data());
        _exit(127);
    }
    RunResult r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = ReadText(".stdout");
    r.err = ReadText(".stderr");
    return r;
}

std::string CliTest::Ok(const std::vector<std::string>& args) const {
    const RunResult r = Run(args);
    std::string line = "irlib";
    for (const auto& a : args) line += " " + a;
    EXPECT_EQ(r.status, 0) << line << "\n" << r.out << r.err;
    EXPECT_EQ(r.err, "") << line;
    return r.out;
}

void CliTest::WriteText(const std::string& name, const std::string& text) const {
    const fs::path p = Path(name);
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

std::string CliTest::ReadText(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Bytes CliTest::ReadBytes(const std::string& name) const {
    const std::string s = ReadText(name);
    return Bytes(s.begin(), s.end());
}

void CliTest::WriteBytes(const std::string& name, const Bytes& bytes) const {
    std::ofstream(Path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string NormaliseIr(const std::string& text) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string word, joined;
        while (words >> word) joined += (joined.empty() ? "" : " ") + word;
        if (joined.empty() || joined == "#") continue;
        out += joined + "\n";
    }
    return out;
}

std::map<std::string, std::string> ReadIrTree(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_regular_file() || e.path().extension() != ".ir") continue;
        std::ifstream in(e.path(), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        files[e.path().lexically_relative(root).generic_string()] = s.str();
    }
    return files;
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    return lines;
}

long JsonNumber(const std::string& json, const std::string& key) {
    const std::string needle = "\"" + key + "\": ";
    const size_t at = json.find(needle);
    if (at == std::string::npos) return -1;
    return std::stol(json.substr(at + needle.size()));
}

}  // namespace irlib::test
