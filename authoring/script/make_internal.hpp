// Inside `make`: the script being read, its JSON readers and the two halves that the driver in
// make_script.cpp runs in turn, the assets (make_assets.cpp) and the scenes (make_scenes.cpp).
#pragma once

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"
#include "authoring/script/make_script.hpp"  // qfutil::Outputs, as the command hands it over
#include "media/png.hpp"

namespace qfauthor::make {

using nlohmann::json;

// What make reads must be a plain file: a FIFO or a device would wait or never end.
void RequireRegularFile(const std::filesystem::path &p);

class Script {
public:
    Script(std::filesystem::path path, qfutil::Outputs &outputs) : path_(std::move(path)), outputs_(outputs) {}

    [[noreturn]] void fail(const std::string &where, const std::string &what) const
    {
        throw std::runtime_error(path_.filename().string() + ": " + (where.empty() ? "" : where + ": ") + what);
    }

    // A file the script names, relative to the script; it becomes one of the outputs' inputs.
    std::filesystem::path resolve(const std::string &file) const;

    // Runs `body`, turning any error inside into "script: where: message".
    template <typename F>
    auto at(const std::string &where, F body) const
    {
        try {
            return body();
        } catch (const json::exception &e) {
            fail(where, CleanJsonError(e.what()));
        } catch (const std::invalid_argument &e) {
            fail(where, e.what());
        } catch (const std::out_of_range &e) {
            fail(where, e.what());
        }
    }

    static std::string CleanJsonError(std::string text)
    {
        // "[json.exception.type_error.302] type must be number, but is string" -> the part after "] "
        auto close = text.find("] ");
        return close == std::string::npos ? text : text.substr(close + 2);
    }

private:
    std::filesystem::path path_;
    qfutil::Outputs &outputs_;
};

// The JSON library turns a number into an integer type with a plain cast, which is undefined for
// a float out of the type's range (1e12 as an int) and wraps an integer (-1 as a period is 65535,
// 4294967296 as a layer is 0): such a number is refused instead.
template <typename T>
T Integer(const json &value)
{
    bool fits = true;
    if (value.is_number_float()) {
        double v = value.get<double>();
        fits = v >= static_cast<double>(std::numeric_limits<T>::min()) &&
               v < static_cast<double>(std::numeric_limits<T>::max()) + 1.0;
    } else if (value.is_number_unsigned()) {
        fits = value.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<T>::max());
    } else if (value.is_number_integer()) {
        fits = std::in_range<T>(value.get<int64_t>());
    }
    if (!fits) throw std::invalid_argument("number " + value.dump() + " is out of range");
    return value.get<T>();
}

std::vector<int> IntegerList(const json &object, const char *key, std::vector<int> fallback);

template <typename T>
T Get(const json &object, const char *key, T fallback)
{
    if (!object.contains(key)) return fallback;
    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) return Integer<T>(object.at(key));
    return object.at(key).get<T>();
}

std::string Required(const json &object, const char *key);

// "scenes[i]" is the list entry (from 0, as the JSON has it); the label adds the scene number
// (from 1, counting repeats) that the docs and the plug-in's errors use.
class SceneLabels {
public:
    explicit SceneLabels(const json &doc);
    std::string operator()(const std::string &where) const;

private:
    std::vector<long> numbers_;
};

struct LoadedAsset {
    std::string name;
    Asset kind = Asset::Background;
    bool embed = true;
    std::string fileName;  // Amiga file name when referenced
    Bytes bytes;
    uint16_t period = 0;         // sounds: default period
    int faceCount = 0;           // face sets
    std::vector<Color> palette;  // backgrounds: for "palette": "<name>"; face sets: as stored
    // Kept to encode again once faces have taken palette entries or colour numbers have moved.
    IndexedImage image;  // backgrounds
    IlbmOptions ilbm;
    size_t ownColours = 0;                         // backgrounds: the PNG's palette size; the rest is free
    std::vector<FaceEntry> faces;                  // face sets
    std::vector<std::vector<Color>> facePalettes;  // each face's PNG palette
    bool keepNumbers = false;                      // "colours": "numbers"
    // Backgrounds of more than 32 colours: the picture as read, reduced again to leave faces room.
    qfmedia::IndexedPicture original;
    long originalColours = 0;
    std::string png;
    size_t reducedWarning = 0;  // its line in Assets::warnings
};

// The script's assets, and once they are in the stream, each one's number among its kind.
struct Assets {
    std::vector<LoadedAsset> loaded;  // backgrounds, face sets, sounds, each in the script's order
    std::map<std::string, std::pair<Asset, uint16_t>> numbers;
    std::array<uint16_t, 3> counts{};  // by kind
    // scenes[i]'s own "palette", when faces took entries it left free
    std::map<size_t, std::array<uint16_t, 32>> scenePalettes;
    std::vector<std::string> warnings;  // pictures whose colours were reduced

    uint16_t number(const std::string &name, Asset kind, const char *what) const;
    const LoadedAsset &named(const std::string &name) const;
};

// Where the referenced assets go: the Amiga directory the movie names, and the files to write.
struct References {
    std::string amigaDir;                                              // "Volume:directory"
    std::string directory;                                             // the directory alone, for a disk image
    std::filesystem::path volumeDir;                                   // the host folder standing for the volume
    bool onDisk = false;                                               // out is a disk image
    std::vector<std::pair<std::string, Bytes>> diskFiles;              // when onDisk
    std::vector<std::pair<std::filesystem::path, Bytes>> volumeFiles;  // otherwise
    int count = 0;
};

// make_assets.cpp
Assets LoadAssets(const Script &script, const json &doc, bool embedDefault, const MakeOptions &options);
void StreamAssets(const Script &script, Assets &assets, References &references, MovieWriter &movie);

// make_assets.cpp: a background of more than 32 colours reduced to `colours`; returns its warning.
std::string ReduceBackground(LoadedAsset &a, int colours, const MakeOptions &options);

// make_colours.cpp: faces whose colours are not the ones their scenes show are given those colours,
// by free palette entries, equal entries or the nearest; returns one warning line per such face set.
std::vector<std::string> MatchFaceColours(const Script &script, const json &doc, Assets &assets,
                                          const MakeOptions &options);

// make_scenes.cpp: a scene's "palette", 32 Amiga colours.
std::array<uint16_t, 32> ScenePalette(const json &p, const Assets &assets);

// make_scenes.cpp: the scene commands. Returns the number of scenes and the movie's length in ticks.
struct SceneTotals {
    long scenes = 0;
    long ticks = 0;
};
SceneTotals WriteScenes(const Script &script, const json &doc, const Assets &assets, const SceneLabels &label,
                        MovieWriter &movie);

}  // namespace qfauthor::make
