// AmigaDOS disk images given for volumes, read by the stand-in host's own reader. The reader
// reports damage by throwing; only web_disks.cpp is built with exceptions, and nothing thrown
// leaves it: every entry here answers with a flag and a message instead.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qfweb {

// Takes the image; on success its volume label, else why it cannot be read (one line).
bool MountDiskImage(const std::string &root, std::vector<uint8_t> bytes, std::string &labelOrError);
// Forgets the images whose root starts with prefix.
void ForgetDiskImages(std::string_view prefix);
// True when path lies under a mounted image's root.
bool OnDiskImage(std::string_view path);
// Every file on the image mounted at root, by its full path.
std::vector<std::string> DiskImageFiles(std::string_view root);
// The file at path (its first maxBytes), names compared as AmigaDOS compares them. On success
// found is the path with the names as stored; else error says why, as the native host would.
bool ReadFromDiskImage(std::string_view path, std::vector<uint8_t> &bytes, std::string &found, std::string &error,
                       uint64_t maxBytes = UINT64_MAX);

}  // namespace qfweb
