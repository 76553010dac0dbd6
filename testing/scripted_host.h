// An in-memory host for white-box tests: files are byte strings, every service call is logged
// with its arguments, and the requester answers from a script.
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
    std::vector<std::string> log;
    bool logByteReads = true;              // "readbyte h" entries; off for large files
    std::deque<std::optional<std::string>> requesterAnswers;  // nullopt = cancel; empty = cancel
    bool compareCaseInsensitive = true;

    // Opens a file directly (as a caller of a loader would) and returns its handle.
    HostFile openDirect(const std::string &name);
    int64_t position(HostFile file) const;
    const OpenFile &file(HostFile file) const;
    int openCount() const { return static_cast<int>(open_.size()); }
    // Every opened file closed exactly once.
    bool allClosedOnce() const;
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
