// Disk images and archives as whole volumes of files: a file named inside one (disk.adf:Anims/Flight)
// or served from one (/x/disk.adf/Anims/Flight), the movies on one found by their signature, an
// image found by its volume label, and a volume's files listed or copied out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "qfhost/host.hpp"
#include "qfhost/volume.hpp"

namespace qfutil {
class Outputs;
}

namespace qfhost {

// A disk image or archive, and a '/'-separated path inside it (empty: the whole volume). Inside
// containers, image is the served form of the way there (set.zip/Disk1.adz), which Volume::Open
// takes, and given the same as the arguments spell it (set.zip:Disk1.adz).
struct ImagePath {
    std::filesystem::path image;
    std::string inside;
    std::string given;  // empty where it is image itself
    std::string shown() const { return given.empty() ? image.string() : given; }
};

// "disk.adf", "disk.adf:Anims/Flight", "set.zip:Disk1.adz:Anims/Flight": segments joined by ':',
// the first a host path, each next a '/'-separated path inside the container the one before
// names. The host path ends at the first ':' whose left side is an existing disk image or archive
// (a host file name may itself hold colons); a later segment ends at a ':' whose left side is a
// member that is itself a disk image or archive. nullopt when the first segment is none.
std::optional<ImagePath> SplitImagePath(const std::string &argument);

// A host path such as /x/disk.adf/Anims/Flight or /x/set.zip/Disk1.adz/Anims/Flight: the longest
// leading part that is a disk image or archive file, then inside it each member that is itself
// one, and the rest. This is how the host serves a movie that lies inside containers.
std::optional<ImagePath> SplitServedPath(const std::string &path);
std::string ServedPath(const ImagePath &file);

// The host file that holds what an argument names: the argument itself, or the disk image or
// archive (the outermost container) of IMAGE:path when no host file has that name. Outputs refuse
// to write over it.
std::filesystem::path HostFileOf(const std::string &argument);

// The first 12 bytes of a movie are one of its two signatures.
bool HasMovieSignature(std::span<const uint8_t> head);

struct MovieOnVolume {
    std::string path;  // inside the volume
    uint64_t size = 0;
};
// Every file on the volume that starts with a movie signature, whatever its name, in listing order.
std::vector<MovieOnVolume> FindMovies(const Volume &volume);
// True when IMAGE:path names a file on the image that starts with a movie signature.
bool NamesMovie(const ImagePath &file);

// "FFS, international names (DOS\3)", "LHA archive", "ZIP archive", "directory"; a location inside
// containers is opened to tell.
std::string FileSystemName(const std::filesystem::path &location);

// The path the host is to open for a movie named as a file, an image or IMAGE:path. A plain file stays as it is. For an image
// (holding exactly one movie) or IMAGE:path, the served path of the movie: the host then looks
// for each volume the movie names in that image or archive first. Throws VolumeError when the
// image holds no movie or several, naming them.
std::string ResolveMovieArgument(const std::string &argument, HostSettings &settings);

// The first disk image (in name order, in the directories in the order given) whose volume label
// is `label`, ignoring case: a floppy (gzip, xz or bzip2 compressed too, expanded no further than
// the largest floppy), or a partition of a hard-disk image of that drive name or label, given as
// its served location (work.hdf/DH1). Archives have no label and never match; damaged images are
// passed over.
std::optional<std::filesystem::path> FindImageByLabel(std::span<const std::filesystem::path> directories,
                                                      const std::string &label);

// The partition of the hard-disk image `opened` (opened from location) named `volume` by its
// drive name or label, as its served location (work.hdf/DH1); where location is itself a partition
// (it ends in its drive name), one beside it. nullopt when `opened` is no hard-disk image or none
// is so named.
std::optional<std::filesystem::path> PartitionFor(const Volume &opened, const std::filesystem::path &location,
                                                  const std::string &volume);

// Whether location (the volume opened from it) is one partition of a hard-disk image, named by its
// drive as served locations name it (work.hdf/DH1), rather than the whole image.
bool NamesPartition(const Volume &opened, const std::filesystem::path &location);

// The folder in `directory` named `volume`, ignoring case (the exact name first, else the smallest
// of those that match): an unpacked disk kept beside a movie.
std::optional<std::filesystem::path> FindFolderByName(const std::filesystem::path &directory,
                                                      const std::string &volume);

// Amiga names are Latin-1.
std::string Latin1ToUtf8(std::string_view latin1);
// An entry's path, name or link target in UTF-8: from Latin-1, unless the volume kept it in UTF-8.
std::string EntryUtf8(const VolumeEntry &entry, std::string_view text);

struct ExtractResult {
    int files = 0;
    int directories = 0;
    int skipped = 0;   // links and refused names
    int failed = 0;    // entries that could not come out (each reported): the extraction failed
    int damaged = 0;   // of those, files the volume could not read (counted in failed)
    int salvaged = 0;  // damaged files whose readable part was written all the same
};

// Copies the files and folders below `inside` (empty: all) into directory, names in UTF-8 and
// modification times kept, each file streamed from its walked entry through outputs, made below
// directory without following any symbolic link there. Links are skipped and names that cannot be
// a file here ('/' inside, ".", "..") are refused with their contents; `report` hears each, one line.
// An entry with an empty name, a symbolic link in the way, a file that cannot be read or written,
// and damage that ends the walk are reported and counted as failed; the rest still comes out. A
// name that lands on a file this extraction made (case ignored by the file system) becomes NAME~2.
// When `inside` names a file, that file alone is copied into directory. A file the volume cannot
// read is reported as "PATH: why"; with salvage it is written all the same: from a disk image every
// readable block with zeros for the rest (the line names the byte ranges), from an archive its bytes
// up to the damage. Throws VolumeError when `inside` is neither a folder nor a file on the volume.
ExtractResult ExtractVolume(const Volume &volume, const std::string &inside, const std::filesystem::path &directory,
                            qfutil::Outputs &outputs, const std::function<void(const std::string &)> &report,
                            bool salvage = false);

// One line per entry, like `unadf -l`: size (files), date and time (UTC), the UTF-8 path, a '/'
// after a folder, "-> target" after a link.
std::vector<std::string> ListVolume(const Volume &volume);

}  // namespace qfhost
