// The quillframer subcommands' handling of a disk image or archive as a whole (see
// qfhost/volume_files.hpp): info and extract dispatch here when their argument is one.
#pragma once

#include <string>

#include "common.hpp"

namespace qftools {

// True for "disk.adf", "archive.lha" and "disk.adf:Some/Folder" (not for a plain movie file).
bool IsVolumeArgument(const std::string &argument);

// `info IMAGE`: the label, the file system, every movie with its size and length; with files,
// every file and folder, like `unadf -l`.
void RunInfoVolume(const Context &context, const std::string &image, bool files, bool json);

// `extract IMAGE[:folder] -o DIR`: the files, with their folders, into DIR; with salvage, also
// what can be read of a damaged file.
void RunExtractVolume(const Context &context, const std::string &image, const std::string &directory, bool salvage);

}  // namespace qftools
