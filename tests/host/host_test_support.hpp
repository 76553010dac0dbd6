// Helpers for the stand-in host's tests: typed calls through a HostBase and the smallest movie.
#pragma once

#include <string>
#include <vector>

#include "quillframer/host_api.h"
#include "testing/run_command.h"
#include "testing/tiny_movie.h"

namespace hosttest {

namespace fs = std::filesystem;
using qftest::TempDir;

// Calls the services exactly as the plug-in does: through the table slots.
struct Calls {
    HostBase *base;
    template <typename F>
    F file(int slot) const
    {
        return reinterpret_cast<F>(base->fileTable[slot]);
    }

    HostFile open(const std::string &name, int32_t mode = 0) const
    {
        return file<HostOpenFileFn>(HOST_FILE_OPEN)(name.c_str(), mode);
    }
    HostFile openTagged(const std::string &name, const uint32_t *options) const
    {
        return file<HostOpenFileTaggedFn>(HOST_FILE_OPEN_TAGGED)(name.c_str(), 0, options);
    }
    void close(HostFile f) const { file<HostCloseFileFn>(HOST_FILE_CLOSE)(f); }
    int64_t seek(HostFile f, int64_t offset, int32_t mode) const
    {
        return file<HostSeekFn>(HOST_FILE_SEEK)(f, offset, mode);
    }
    int32_t read(HostFile f, void *buffer, uint32_t count) const
    {
        return file<HostReadFn>(HOST_FILE_READ)(f, buffer, count);
    }
    int32_t readByte(HostFile f) const { return file<HostReadByteFn>(HOST_FILE_READ_BYTE)(f); }
    bool atEnd(HostFile f) const { return file<HostAtEndOfFileFn>(HOST_FILE_AT_END)(f) != 0; }
    int32_t join(char *buffer, const std::string &add, uint32_t size) const
    {
        return file<HostJoinPathFn>(HOST_FILE_JOIN_PATH)(buffer, add.c_str(), size);
    }
    int32_t compare(const char *a, const char *b) const
    {
        return reinterpret_cast<HostCompareNamesFn>(base->utilityTable[HOST_UTILITY_COMPARE_NAMES])(a, b);
    }
    int32_t requester(const std::string &message, char *buffer, uint32_t size) const
    {
        auto fn = reinterpret_cast<HostPathRequesterFn>(base->requesterTable[HOST_REQUESTER_PATH]);
        return fn(message.c_str(), buffer, size, 0);
    }
};

inline std::string RequesterMessage(const std::string &volume)
{
    return QF_REQUESTER_HEAD + volume + QF_REQUESTER_TAIL;
}

inline std::vector<uint8_t> TinyMovie(const std::string &signature = QF_SIGNATURE_QUILLFRAMER)
{
    return qftest::OneSceneMovie({}, {}, signature);
}

}  // namespace hosttest
