#include "fuzz/memory_host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "plugin/host_calls.h"

namespace qffuzz {

namespace {
MemoryHost *current = nullptr;

[[noreturn]] void Fail(const char *what)
{
    std::fprintf(stderr, "memory host: %s\n", what);
    std::abort();
}
}  // namespace

struct MemoryHostServices {
    static MemoryHost::OpenFile &at(HostFile handle)
    {
        auto index = reinterpret_cast<uintptr_t>(handle);
        if (index == 0 || index > current->opens_.size()) Fail("unknown file handle");
        auto &file = current->opens_[index - 1];
        if (!file.open) Fail("file used after its close");
        return file;
    }
    static HostFile Open(const char *name, int32_t mode)
    {
        auto it = current->files_.find(name);
        if (it == current->files_.end() || mode != 0) return nullptr;
        current->opens_.push_back({it->second, 0, true});
        return reinterpret_cast<HostFile>(static_cast<uintptr_t>(current->opens_.size()));
    }
    static HostFile OpenTagged(const char *name, int32_t mode, const uint32_t *) { return Open(name, mode); }
    static void Close(HostFile handle) { at(handle).open = false; }
    static int64_t Seek(HostFile handle, int64_t offset, int32_t mode)
    {
        auto &file = at(handle);
        int64_t size = static_cast<int64_t>(file.bytes.size);
        int64_t base = mode == HOST_SEEK_RELATIVE ? file.position : mode == HOST_SEEK_START ? 0 : size;
        if (offset < 0 ? base < -offset : offset > INT64_MAX - base) return -1;
        file.position = base + offset;  // past the end is allowed
        return file.position;
    }
    static int32_t Read(HostFile handle, void *buffer, uint32_t count)
    {
        auto &file = at(handle);
        int64_t left = std::max<int64_t>(0, static_cast<int64_t>(file.bytes.size) - file.position);
        int64_t n = std::min<int64_t>(count, left);
        if (n > 0) std::memcpy(buffer, file.bytes.data + file.position, static_cast<size_t>(n));
        file.position += n;
        return static_cast<int32_t>(n);
    }
    static int32_t ReadByte(HostFile handle)
    {
        auto &file = at(handle);
        if (file.position >= static_cast<int64_t>(file.bytes.size)) return 0;
        return file.bytes.data[file.position++];
    }
    static int32_t AtEnd(HostFile handle)
    {
        auto &file = at(handle);
        return file.position >= static_cast<int64_t>(file.bytes.size);
    }
    static int32_t Join(char *buffer, const char *component, uint32_t size)
    {
        size_t used = strnlen(buffer, size);
        if (used == size) Fail("join into an unterminated path buffer");
        const char *separator = used && buffer[used - 1] != '/' ? "/" : "";
        size_t add = std::strlen(separator) + std::strlen(component);
        if (used + add + 1 > size) return 0;  // refused: the buffer stays as it was
        std::strcat(buffer, separator);
        std::strcat(buffer, component);
        return 1;
    }
    static int32_t Compare(const char *a, const char *b) { return strcasecmp(a, b); }
    static int32_t Requester(const char *message, char *buffer, uint32_t size, uint32_t)
    {
        if (strnlen(message, 1024) == 1024) Fail("requester message not terminated within 1024 bytes");
        if (size == 0) return 0;
        std::snprintf(buffer, size, "%s", current->requesterAnswer_.c_str());
        return 1;
    }
};

template <typename F>
static HostFunction Slot(F f)
{
    return reinterpret_cast<HostFunction>(f);
}

MemoryHost::MemoryHost(std::string requesterAnswer) : requesterAnswer_(std::move(requesterAnswer))
{
    fileTable_[HOST_FILE_OPEN] = Slot(&MemoryHostServices::Open);
    fileTable_[HOST_FILE_CLOSE] = Slot(&MemoryHostServices::Close);
    fileTable_[HOST_FILE_SEEK] = Slot(&MemoryHostServices::Seek);
    fileTable_[HOST_FILE_READ] = Slot(&MemoryHostServices::Read);
    fileTable_[HOST_FILE_READ_BYTE] = Slot(&MemoryHostServices::ReadByte);
    fileTable_[HOST_FILE_AT_END] = Slot(&MemoryHostServices::AtEnd);
    fileTable_[HOST_FILE_JOIN_PATH] = Slot(&MemoryHostServices::Join);
    fileTable_[HOST_FILE_OPEN_TAGGED] = Slot(&MemoryHostServices::OpenTagged);
    utilityTable_[HOST_UTILITY_COMPARE_NAMES] = Slot(&MemoryHostServices::Compare);
    requesterTable_[HOST_REQUESTER_PATH] = Slot(&MemoryHostServices::Requester);
    base_.version = 6;
    base_.fileTable = fileTable_;
    base_.utilityTable = utilityTable_;
    base_.requesterTable = requesterTable_;
}

MemoryHost::~MemoryHost()
{
    if (current == this) current = nullptr;
    if (hostBase == &base_) hostBase = nullptr;
}

void MemoryHost::install()
{
    current = this;
    PluginInfo info{};
    InitPlugin(&info, &base_);
}

void MemoryHost::addFile(const std::string &name, const uint8_t *data, size_t size) { files_[name] = {data, size}; }

HostFile MemoryHost::openDirect(const std::string &name)
{
    current = this;
    HostFile file = MemoryHostServices::Open(name.c_str(), 0);
    if (!file) Fail("openDirect: no such file");
    return file;
}

void MemoryHost::closeDirect(HostFile file) { MemoryHostServices::Close(file); }

int64_t MemoryHost::position(HostFile file) const
{
    auto index = reinterpret_cast<uintptr_t>(file);
    return index && index <= opens_.size() ? opens_[index - 1].position : -1;
}

int MemoryHost::openFiles() const
{
    return static_cast<int>(std::count_if(opens_.begin(), opens_.end(), [](const OpenFile &f) { return f.open; }));
}

void MemoryHost::resetOpens() { opens_.clear(); }

}  // namespace qffuzz
