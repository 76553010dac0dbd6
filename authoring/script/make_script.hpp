// `quillframer make`: a movie from a JSON script, indexed PNGs and sound files.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qfutil {
class Outputs;
}

namespace qfauthor {

struct MakeResult {
    int scenes = 0;
    double seconds = 0;
    int backgrounds = 0;
    int faceSets = 0;
    int sounds = 0;
    int referenced = 0;                     // assets written into the volume directory
    std::string volumeName;                 // for --volume NAME=DIR
    std::filesystem::path volumeDirectory;  // where referenced assets went (empty: none)
    std::string diskFile;                   // on a disk image out: the movie's name on it (else empty)
    uint64_t bytes = 0;
    std::vector<std::string> warnings;  // one line each, e.g. a face set whose colours moved
};

struct MakeOptions {
    bool strictColours = false;  // a face colour the scene's palette lacks is an error, not the nearest
    bool noQuantise = false;     // a picture of more than 32 colours is refused, not reduced
    bool dither = false;         // reduced pictures diffuse the error
};

// Throws std::runtime_error with one line naming the script, the place in it and the cause. The
// movie is written through outputs, which learns every file the script reads as an input. An out
// ending in .adf is a floppy image labelled with the script's volume, holding the movie (named
// after out) at its root and the referenced assets where the movie looks for them.
MakeResult MakeMovie(const std::filesystem::path &script, const std::filesystem::path &out, qfutil::Outputs &outputs,
                     const MakeOptions &options = {});

}  // namespace qfauthor
