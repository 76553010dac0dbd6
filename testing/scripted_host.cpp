#include "testing/scripted_host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "plugin/host_calls.h"

namespace qftest {

ScriptedHost *ScriptedHost::current = nullptr;

namespace {

[[noreturn]] void Misuse(const char *what)
{
    std::fprintf(stderr, "scripted host: %s\n", what);
    std::abort();
}

std::string HandleName(HostFile f) { return std::to_string(reinterpret_cast<uintptr_t>(f)); }

}  // namespace

struct ScriptedHostServices {
    static OpenFile &at(HostFile f, bool closing = false)
    {
        auto i = reinterpret_cast<uintptr_t>(f);
        auto &files = ScriptedHost::current->open_;
        if (i == 0 || i > files.size()) Misuse("unknown file handle");
        OpenFile &file = files[i - 1];
        if (file.closeCount > 0) Misuse(closing ? "file closed twice" : "file used after its close");
        return file;
    }
    static void say(const std::string &s)
    {
        if (ScriptedHost::current->logging) ScriptedHost::current->log.push_back(s);
    }

    static HostFile open(const char *name, int32_t mode)
    {
        auto *h = ScriptedHost::current;
        auto it = h->files.find(name);
        if (it == h->files.end() || mode != 0) return nullptr;
        h->open_.push_back(OpenFile{name, &it->second, 0, 0});
        return reinterpret_cast<HostFile>(static_cast<uintptr_t>(h->open_.size()));
    }
    static HostFile Open(const char *name, int32_t mode)
    {
        if (ScriptedHost::current->logging) say("open " + std::string(name) + " " + std::to_string(mode));
        return open(name, mode);
    }
    static HostFile OpenTagged(const char *name, int32_t mode, const uint32_t *options)
    {
        if (ScriptedHost::current->logging)
            say("tagged " + std::string(name) + " " + std::to_string(mode) + " " + std::to_string(options[0]) + "," +
                std::to_string(options[1]) + "," + std::to_string(options[2]));
        return open(name, mode);
    }
    static void Close(HostFile f)
    {
        if (ScriptedHost::current->logging) say("close " + HandleName(f));
        at(f, true).closeCount++;
    }
    static int64_t Seek(HostFile f, int64_t offset, int32_t mode)
    {
        if (ScriptedHost::current->logging)
            say("seek " + HandleName(f) + " " + std::to_string(offset) + " " + std::to_string(mode));
        auto &file = at(f);
        int64_t size = static_cast<int64_t>(file.data->size());
        int64_t base = mode == HOST_SEEK_RELATIVE ? file.position : mode == HOST_SEEK_START ? 0 : size;
        if (offset < 0 ? base < -offset : offset > INT64_MAX - base) return -1;
        file.position = base + offset;  // past the end is allowed
        return file.position;
    }
    static int32_t Read(HostFile f, void *buffer, uint32_t count)
    {
        if (ScriptedHost::current->logging) say("read " + HandleName(f) + " " + std::to_string(count));
        auto &file = at(f);
        int64_t left = std::max<int64_t>(0, static_cast<int64_t>(file.data->size()) - file.position);
        int64_t n = std::min<int64_t>(count, left);
        if (n > 0) std::memcpy(buffer, file.data->data() + file.position, static_cast<size_t>(n));
        file.position += n;
        return static_cast<int32_t>(n);
    }
    static int32_t ReadByte(HostFile f)
    {
        if (ScriptedHost::current->logByteReads) say("readbyte " + HandleName(f));
        auto &file = at(f);
        if (file.position >= static_cast<int64_t>(file.data->size())) return 0;
        return (*file.data)[static_cast<size_t>(file.position++)];
    }
    static int32_t AtEnd(HostFile f)
    {
        if (ScriptedHost::current->logging) say("eof " + HandleName(f));
        auto &file = at(f);
        return file.position >= static_cast<int64_t>(file.data->size());
    }
    static int32_t Join(char *buffer, const char *component, uint32_t size)
    {
        size_t used = strnlen(buffer, size);
        if (used == size) Misuse("join into an unterminated path buffer");
        if (ScriptedHost::current->logging)
            say("join " + std::string(buffer) + " " + component + " " + std::to_string(size));
        std::string add = (used && buffer[used - 1] != '/' ? "/" : "") + std::string(component);
        if (used + add.size() + 1 > size) return 0;  // refused: the buffer stays as it was
        std::memcpy(buffer + used, add.c_str(), add.size() + 1);
        return 1;
    }
    static int32_t Compare(const char *a, const char *b)
    {
        if (ScriptedHost::current->logging) say("compare " + std::string(a) + " " + b);
        return ScriptedHost::current->compareCaseInsensitive ? strcasecmp(a, b) : std::strcmp(a, b);
    }
    static int32_t Requester(const char *message, char *buffer, uint32_t size, uint32_t flags)
    {
        if (strnlen(message, 1024) == 1024) Misuse("requester message not terminated within 1024 bytes");
        auto *h = ScriptedHost::current;
        if (h->logging)
            say("requester " + std::string(message) + " " + std::to_string(size) + " " + std::to_string(flags));
        std::optional<std::string> answer = h->laterAnswer;
        if (!h->requesterAnswers.empty()) {
            answer = h->requesterAnswers.front();
            h->requesterAnswers.pop_front();
        }
        if (!answer || size == 0) return 0;
        std::snprintf(buffer, size, "%s", answer->c_str());
        return 1;
    }
};

template <typename F>
static HostFunction Slot(F f)
{
    return reinterpret_cast<HostFunction>(f);
}

ScriptedHost::ScriptedHost(int32_t version)
{
    fileTable_[HOST_FILE_OPEN] = Slot(&ScriptedHostServices::Open);
    fileTable_[HOST_FILE_CLOSE] = Slot(&ScriptedHostServices::Close);
    fileTable_[HOST_FILE_SEEK] = Slot(&ScriptedHostServices::Seek);
    fileTable_[HOST_FILE_READ] = Slot(&ScriptedHostServices::Read);
    fileTable_[HOST_FILE_READ_BYTE] = Slot(&ScriptedHostServices::ReadByte);
    fileTable_[HOST_FILE_AT_END] = Slot(&ScriptedHostServices::AtEnd);
    fileTable_[HOST_FILE_JOIN_PATH] = Slot(&ScriptedHostServices::Join);
    fileTable_[HOST_FILE_OPEN_TAGGED] = Slot(&ScriptedHostServices::OpenTagged);
    utilityTable_[HOST_UTILITY_COMPARE_NAMES] = Slot(&ScriptedHostServices::Compare);
    requesterTable_[HOST_REQUESTER_PATH] = Slot(&ScriptedHostServices::Requester);
    base_.version = version;
    base_.fileTable = fileTable_;
    base_.utilityTable = utilityTable_;
    base_.requesterTable = requesterTable_;
    current = this;
}

ScriptedHost::~ScriptedHost()
{
    if (current == this) current = nullptr;
    if (hostBase == &base_) hostBase = nullptr;
}

void ScriptedHost::install()
{
    current = this;
    hostBase = &base_;
}

HostFile ScriptedHost::openDirect(const std::string &name)
{
    current = this;
    HostFile file = ScriptedHostServices::open(name.c_str(), 0);
    if (!file) Misuse("openDirect: no such file");
    return file;
}

void ScriptedHost::closeDirect(HostFile f)
{
    current = this;
    ScriptedHostServices::at(f, true).closeCount++;
}

int64_t ScriptedHost::position(HostFile f) const { return file(f).position; }

const OpenFile &ScriptedHost::file(HostFile f) const
{
    auto i = reinterpret_cast<uintptr_t>(f);
    if (i == 0 || i > open_.size()) Misuse("unknown file handle");
    return open_[i - 1];
}

int ScriptedHost::openFiles() const
{
    return static_cast<int>(
        std::count_if(open_.begin(), open_.end(), [](const OpenFile &f) { return f.closeCount == 0; }));
}

bool ScriptedHost::allClosedOnce() const
{
    return std::all_of(open_.begin(), open_.end(), [](const OpenFile &f) { return f.closeCount == 1; });
}

void ScriptedHost::resetOpens() { open_.clear(); }

int ScriptedHost::count(const std::string &prefix) const
{
    int n = 0;
    for (const auto &entry : log)
        if (entry.rfind(prefix, 0) == 0) ++n;
    return n;
}

}  // namespace qftest
