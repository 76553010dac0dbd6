// The quillframer subcommands' handling of a disk image or archive as a whole (see
// qfhost/volume_files.hpp): info and extract dispatch here when their argument is one.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "common.hpp"

namespace qftools {

// True for "disk.adf", "archive.lha" and "disk.adf:Some/Folder" (not for a plain movie file).
bool IsVolumeArgument(const std::string &argument);
// True for "disk.adf:Anims/Flight" when that file is a movie.
bool IsMovieOnVolume(const std::string &argument);

// `info IMAGE`: the label, the file system, every movie with its size and length; with files,
// every file and folder, like `unadf -l`. When the image holds one movie and it opens, oneMovie
// is called with its IMAGE:path, after the text (json null) or before the JSON is printed.
void RunInfoVolume(const Context &context, const std::string &image, bool files, bool json,
                   const std::function<void(const std::string &movie, nlohmann::ordered_json *json)> &oneMovie);

// `extract IMAGE[:folder|:file] -o DIR`: the files, with their folders, into DIR; with salvage,
// also what can be read of a damaged file.
void RunExtractVolume(const Context &context, const std::string &image, const std::string &directory, bool salvage);

}  // namespace qftools
