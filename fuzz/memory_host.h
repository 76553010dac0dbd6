// A small in-memory host for the fuzzers and benchmarks: files are byte strings looked up by
// exact name, the requester answers one fixed directory for every volume, and every open file
// must be closed exactly once.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "quillframer/host_api.h"

namespace qffuzz {

using Bytes = std::vector<uint8_t>;

class MemoryHost {
public:
    explicit MemoryHost(std::string requesterAnswer = "/vol");
    ~MemoryHost();
    MemoryHost(const MemoryHost &) = delete;
    MemoryHost &operator=(const MemoryHost &) = delete;

    // Makes this the host behind the plug-in (InitPlugin on the statically linked code).
    void install();
    HostBase *base() { return &base_; }

    // Files are borrowed: the bytes must outlive every open of them.
    void addFile(const std::string &name, const uint8_t *data, size_t size);
    void addFile(const std::string &name, const Bytes &bytes) { addFile(name, bytes.data(), bytes.size()); }

    // Opens directly, as a caller of a loader would.
    HostFile openDirect(const std::string &name);
    void closeDirect(HostFile file);
    int64_t position(HostFile file) const;

    // Files opened and not yet closed.
    int openFiles() const;
    // Forgets every open (after a check that none is left).
    void resetOpens();

private:
    struct FileBytes {
        const uint8_t *data = nullptr;
        size_t size = 0;
    };
    struct OpenFile {
        FileBytes bytes;
        int64_t position = 0;
        bool open = true;
    };

    HostBase base_{};
    HostFunction fileTable_[HOST_FILE_TABLE_SIZE]{};
    HostFunction utilityTable_[HOST_UTILITY_TABLE_SIZE]{};
    HostFunction requesterTable_[HOST_REQUESTER_TABLE_SIZE]{};
    std::map<std::string, FileBytes> files_;
    std::vector<OpenFile> opens_;  // handle = index + 1
    std::string requesterAnswer_;

    friend struct MemoryHostServices;
};

}  // namespace qffuzz
