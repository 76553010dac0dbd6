// For tests that run programs: a scratch directory, whole-file reads and writes, and a command run
// through the shell with stdin from /dev/null, its exit status and its captured output.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qftest {

namespace fs = std::filesystem;

inline std::vector<uint8_t> ReadBytes(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::string ReadText(const fs::path &p)
{
    std::vector<uint8_t> b = ReadBytes(p);
    return std::string(b.begin(), b.end());
}

// A fresh directory, removed with everything in it at the end.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "qftest-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path &path() const { return path_; }
    fs::path operator/(const std::string &name) const { return path_ / name; }
    fs::path write(const std::string &name, const std::vector<uint8_t> &bytes) const
    {
        fs::path p = path_ / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return p;
    }

private:
    fs::path path_;
};

struct Outcome {
    int status = -1;
    std::string out, err;
};

inline std::string Quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs `prefix program args...`; stdout and stderr pass through files in scratch.
inline Outcome RunCommand(const std::string &program, const std::vector<std::string> &args, const fs::path &scratch,
                          const std::string &prefix = "")
{
    std::string command = prefix + " " + Quote(program);
    for (const auto &a : args) command += " " + Quote(a);
    command += " </dev/null >" + Quote((scratch / "stdout").string()) + " 2>" + Quote((scratch / "stderr").string());
    int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(scratch / "stdout"), ReadText(scratch / "stderr")};
}

// The built quillframer command, with no QUILLFRAMER_PLUGIN in the way.
inline Outcome RunQuillframer(const std::vector<std::string> &args, const fs::path &scratch,
                              const std::string &environment = "")
{
    const char *build = std::getenv("QF_BUILD_DIR");
    return RunCommand((fs::path(build ? build : ".") / "quillframer").string(), args, scratch,
                      "unset QUILLFRAMER_PLUGIN; " + environment);
}

}  // namespace qftest
