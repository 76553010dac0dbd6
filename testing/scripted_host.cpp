#include "tests/support/scripted_host.h"

#include <cstring>
#include <stdexcept>
#include <strings.h>

#include "plugin/host_calls.h"

namespace qftest {

ScriptedHost *ScriptedHost::current = nullptr;

static std::string HandleName(HostFile f) { return std::to_string(reinterpret_cast<uintptr_t>(f)); }

struct ScriptedHostServices {
    static OpenFile &at(HostFile f)
    {
        auto i = reinterpret_cast<uintptr_t>(f);
        auto &files = ScriptedHost::current->open_;
        if (i == 0 || i > files.size()) throw std::runtime_error("bad host file handle");
        return files[i - 1];
    }
    static void say(const std::string &s) { ScriptedHost::current->log.push_back(s); }

    static HostFile open(const char *name, int32_t mode, const std::string &entry)
    {
        auto *h = ScriptedHost::current;
        say(entry);
        auto it = h->files.find(name);
        if (it == h->files.end() || mode != 0) return nullptr;
        h->open_.push_back(OpenFile{name, &it->second, 0, 0});
        return reinterpret_cast<HostFile>(static_cast<uintptr_t>(h->open_.size()));
    }
    static HostFile Open(const char *name, int32_t mode)
    {
        return open(name, mode, "open " + std::string(name) + " " + std::to_string(mode));
    }
    static HostFile OpenTagged(const char *name, int32_t mode, const uint32_t *options)
    {
        std::string entry = "tagged " + std::string(name) + " " + std::to_string(mode) + " ";
        entry += std::to_string(options[0]) + "," + std::to_string(options[1]) + "," + std::to_string(options[2]);
        return open(name, mode, entry);
    }
    static void Close(HostFile f)
    {
        say("close " + HandleName(f));
        at(f).closeCount++;
    }
    static int64_t Seek(HostFile f, int64_t offset, int32_t mode)
    {
        say("seek " + HandleName(f) + " " + std::to_string(offset) + " " + std::to_string(mode));
        auto &file = at(f);
        int64_t size = static_cast<int64_t>(file.data->size());
        int64_t base = mode == HOST_SEEK_RELATIVE ? file.position : mode == HOST_SEEK_START ? 0 : size;
        if (base + offset < 0) return -1;
        file.position = base + offset;
        return file.position;
    }
    static int32_t Read(HostFile f, void *buffer, uint32_t count)
    {
        say("read " + HandleName(f) + " " + std::to_string(count));
        auto &file = at(f);
        int64_t size = static_cast<int64_t>(file.data->size());
        int64_t n = std::max<int64_t>(0, std::min<int64_t>(count, size - file.position));
        if (n > 0) std::memcpy(buffer, file.data->data() + file.position, static_cast<size_t>(n));
        file.position += count;  // a short read still moves past the requested bytes
        if (file.position > size) file.position = size;
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
        say("eof " + HandleName(f));
        auto &file = at(f);
        return file.position >= static_cast<int64_t>(file.data->size());
    }
    static int32_t Join(char *buffer, const char *component, uint32_t size)
    {
        say("join " + std::string(buffer) + " " + component + " " + std::to_string(size));
        size_t used = std::strlen(buffer);
        std::string add = (used && buffer[used - 1] != '/' ? "/" : "") + std::string(component);
        if (used + add.size() + 1 > size) return 0;
        std::memcpy(buffer + used, add.c_str(), add.size() + 1);
        return 1;
    }
    static int32_t Compare(const char *a, const char *b)
    {
        say("compare " + std::string(a) + " " + b);
        return ScriptedHost::current->compareCaseInsensitive ? strcasecmp(a, b) : std::strcmp(a, b);
    }
    static int32_t Requester(const char *message, char *buffer, uint32_t size, uint32_t flags)
    {
        say("requester " + std::string(message) + " " + std::to_string(size) + " " + std::to_string(flags));
        auto &answers = ScriptedHost::current->requesterAnswers;
        if (answers.empty()) return 0;
        auto answer = answers.front();
        answers.pop_front();
        if (!answer) return 0;
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
    auto it = files.find(name);
    if (it == files.end()) throw std::runtime_error("no scripted file " + name);
    open_.push_back(OpenFile{name, &it->second, 0, 0});
    return reinterpret_cast<HostFile>(static_cast<uintptr_t>(open_.size()));
}

int64_t ScriptedHost::position(HostFile f) const { return file(f).position; }

const OpenFile &ScriptedHost::file(HostFile f) const
{
    auto i = reinterpret_cast<uintptr_t>(f);
    if (i == 0 || i > open_.size()) throw std::runtime_error("bad host file handle");
    return open_[i - 1];
}

bool ScriptedHost::allClosedOnce() const
{
    for (const auto &f : open_)
        if (f.closeCount != 1) return false;
    return true;
}

int ScriptedHost::count(const std::string &prefix) const
{
    int n = 0;
    for (const auto &entry : log)
        if (entry.rfind(prefix, 0) == 0) ++n;
    return n;
}

}  // namespace qftest
