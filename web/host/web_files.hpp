// The files the page handed in, held in memory under paths like "/movie/x.qf" and
// "/volumes/0/Pictures/Landscape", the files read from disk images while a movie is open, and the
// handles the plug-in reads them through.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quillframer/host_api.h"

namespace qfweb {

struct MemoryFile {
    std::string path;
    std::vector<uint8_t> bytes;
};

struct OpenedFile {
    const MemoryFile *file = nullptr;  // null once closed
    int64_t position = 0;              // may stand past the end
};

// Replaces the file at path, or adds it.
void PutFile(const char *path, const uint8_t *bytes, uint32_t size);
// Forgets every page file whose path starts with prefix.
void RemoveFiles(std::string_view prefix);
// The file at path, looked up component by component ignoring case where the exact name does
// not exist, as the stand-in host does on a disk. Folders are the prefixes of the files' paths.
const MemoryFile *Lookup(std::string_view path, bool &isFolder);

// A file read from a disk image, kept (once per path) until ForgetDiskFiles; it does not move.
const MemoryFile *KeepDiskFile(MemoryFile read);
void ForgetDiskFiles();

// A handle for reading f from its start; handles are index + 1 and are reused once closed.
HostFile OpenHandle(const MemoryFile *f);
// The open file behind handle, or null.
OpenedFile *FileOf(HostFile handle);
void CloseHandle(HostFile handle);
void CloseAllHandles();

}  // namespace qfweb
