// The web host's file table: page files by path, disk-image files by path, open handles.
#include "web_files.hpp"

#include <algorithm>
#include <deque>

#include "qfhost/name_rules.hpp"

namespace qfweb {
namespace {

std::vector<MemoryFile> files;
std::deque<MemoryFile> diskFiles;  // read from images while a movie is open; a deque keeps them in place
std::vector<OpenedFile> opened;    // handle = index + 1

std::vector<std::string_view> Split(std::string_view path)
{
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

void PutFile(const char *path, const uint8_t *bytes, uint32_t size)
{
    for (MemoryFile &f : files)
        if (f.path == path) {
            f.bytes.assign(bytes, bytes + size);
            return;
        }
    files.push_back(MemoryFile{path, std::vector<uint8_t>(bytes, bytes + size)});
}

void RemoveFiles(std::string_view prefix)
{
    std::erase_if(files,
                  [&](const MemoryFile &f) { return std::string_view(f.path).substr(0, prefix.size()) == prefix; });
}

const MemoryFile *Lookup(std::string_view path, bool &isFolder)
{
    isFolder = false;
    for (const MemoryFile &f : files)
        if (f.path == path) return &f;
    std::string here;
    const std::vector<std::string_view> parts = Split(path);
    for (size_t level = 0; level < parts.size(); ++level) {
        std::vector<std::string> names;
        for (const MemoryFile &f : files) {
            std::string_view p = f.path;
            if (p.size() <= here.size() + 1 || p.substr(0, here.size()) != here || p[here.size()] != '/') continue;
            std::string_view rest = p.substr(here.size() + 1);
            std::string name(rest.substr(0, rest.find('/')));
            bool known = false;
            for (const std::string &n : names) known = known || n == name;
            if (!known) names.push_back(name);
        }
        auto match = qfhost::FindNameIgnoringCase(names, parts[level]);
        if (!match) return nullptr;
        here += "/" + names[*match];
    }
    for (const MemoryFile &f : files)
        if (f.path == here) return &f;
    isFolder = !parts.empty();
    return nullptr;
}

const MemoryFile *KeepDiskFile(MemoryFile read)
{
    auto known =
        std::find_if(diskFiles.begin(), diskFiles.end(), [&](const MemoryFile &d) { return d.path == read.path; });
    return known != diskFiles.end() ? &*known : &diskFiles.emplace_back(std::move(read));
}

void ForgetDiskFiles() { diskFiles.clear(); }

HostFile OpenHandle(const MemoryFile *f)
{
    for (size_t i = 0; i < opened.size(); ++i)
        if (!opened[i].file) {
            opened[i] = OpenedFile{f, 0};
            return reinterpret_cast<HostFile>(i + 1);
        }
    opened.push_back(OpenedFile{f, 0});
    return reinterpret_cast<HostFile>(opened.size());
}

OpenedFile *FileOf(HostFile handle)
{
    uintptr_t index = reinterpret_cast<uintptr_t>(handle);
    if (index == 0 || index > opened.size() || !opened[index - 1].file) return nullptr;
    return &opened[index - 1];
}

void CloseHandle(HostFile handle)
{
    if (OpenedFile *f = FileOf(handle)) f->file = nullptr;
}

void CloseAllHandles()
{
    for (OpenedFile &f : opened) f.file = nullptr;
}

}  // namespace qfweb
