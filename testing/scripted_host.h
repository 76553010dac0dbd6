// The one in-memory host for tests, fuzzers and benchmarks: files are byte strings looked up by
// exact name, the requester answers from a script (then with a fixed answer, or cancels), and an
// optional log records every service call with its arguments. Misuse the real host would not
// survive (an unknown or closed handle, an unterminated path or message) aborts on the spot.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quillframer/host_api.h"

namespace qftest {

using Bytes = std::vector<uint8_t>;

struct OpenFile {
    std::string name;
    const Bytes *data = nullptr;
    int64_t position = 0;
    int closeCount = 0;
};

class ScriptedHost {
public:
    explicit ScriptedHost(int32_t version = 6);
    ~ScriptedHost();
    ScriptedHost(const ScriptedHost &) = delete;
    ScriptedHost &operator=(const ScriptedHost &) = delete;

    HostBase *base() { return &base_; }
    // Makes this the host behind the plug-in's stored base (plug-in code linked statically).
    void install();

    std::map<std::string, Bytes> files;  // by exact name
    void addFile(const std::string &name, const uint8_t *data, size_t size) { files[name].assign(data, data + size); }
    void addFile(const std::string &name, const Bytes &bytes) { files[name] = bytes; }
    // No log at all: for fuzzers and benchmarks, where it would only cost time.
    void quiet() { logging = logByteReads = false; }

    bool logging = true;       // record calls in log
    bool logByteReads = true;  // "readbyte h" entries too; off for large files
    std::vector<std::string> log;
    std::deque<std::optional<std::string>> requesterAnswers;  // nullopt = cancel
    std::optional<std::string> laterAnswer;                   // once the script is used up; nullopt = cancel
    bool compareCaseInsensitive = true;

    // Opens and closes a file directly (as a caller of a loader would).
    HostFile openDirect(const std::string &name);
    void closeDirect(HostFile file);
    int64_t position(HostFile file) const;
    const OpenFile &file(HostFile file) const;
    int openCount() const { return static_cast<int>(open_.size()); }  // opens so far
    int openFiles() const;                                            // opened and not closed
    bool allClosedOnce() const;
    void resetOpens();  // forgets every open, e.g. between fuzz inputs
    // Count of log entries starting with prefix.
    int count(const std::string &prefix) const;

    static ScriptedHost *current;

private:
    HostBase base_{};
    HostFunction fileTable_[HOST_FILE_TABLE_SIZE]{};
    HostFunction utilityTable_[HOST_UTILITY_TABLE_SIZE]{};
    HostFunction requesterTable_[HOST_REQUESTER_TABLE_SIZE]{};
    std::vector<OpenFile> open_;  // handle = index + 1

    friend struct ScriptedHostServices;
};

}  // namespace qftest
