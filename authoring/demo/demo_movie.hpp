// The built-in demo movie, made procedurally with the authoring library: a scrolling landscape
// through day, sunset and night, animated sprites in several layers, colour cycling, and a
// four-channel tune. Its background picture and one sound live on an Amiga volume.
#pragma once

#include <filesystem>
#include <string>

namespace qfutil {
class Outputs;
}

namespace qfauthor {

struct DemoMovie {
    std::filesystem::path movie;            // the movie file
    std::string volumeName;                 // the Amiga volume its referenced assets are on
    std::filesystem::path volumeDirectory;  // the directory that stands for that volume
};

// Writes dir/demo.qf and the volume directory dir/<volume>/ with the referenced files.
// The movie file goes through outputs.
DemoMovie WriteDemoMovie(const std::filesystem::path &dir, qfutil::Outputs &outputs);

}  // namespace qfauthor
