// What a movie is made of: its scenes, and every picture, face set and sound its stream loads,
// by Amiga path with where the host found it. Read from the plug-in's own code built to record it
// (qfcore_explain), so it is the plug-in's view, not a second parser's.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "qfhost/host.hpp"

struct MovieSurvey;
struct BackgroundImage;
struct FaceSet;
struct SoundSample;
struct MovieHandle;

namespace qfhost {

enum class AssetType { Background, FaceSet, Sound };

// "background", "face set" or "sound", as messages name them.
const char *AssetTypeName(AssetType type);

enum class AssetOrigin {
    Embedded,       // inside the movie file
    Loaded,         // named by Amiga path and found
    NotLoaded,      // found but unreadable: the movie plays without it
    VolumeMissing,  // no directory, disk image or archive for its volume
    FileMissing,    // its volume was found, the file is not in it
    PathRefused,    // the path names no usable volume
};

struct AssetEntry {
    AssetType type;
    AssetOrigin origin;
    int index;  // background, face set or sound number (from 0, as the stream counts), or -1
    uint32_t command;
    int64_t offset;         // of the command that loads it
    std::string amigaPath;  // "" when embedded
    std::string volume;     // without colon
    std::string hostPath;   // where the host looked; for a volume on a disk image, a path inside it
    std::string rawAmigaPath;  // amigaPath byte for byte, unescaped: for tools that make file names of it
    bool missing() const;
};

struct ChannelEntry {
    int sound = -1;  // sound number, -1 when the channel is silent
    int rate = 0;    // Hz
    int volume = 0;  // 0..64
};

struct SceneEntry {
    int number = 0;  // from 1
    uint32_t startMs = 0;
    uint32_t durationMs = 0;
    int frames = 0;           // 1/50 s each
    int background = -1;      // background number, -1 for none
    int paletteColors = 0;    // colours the scene's palette gives, 0 when it has none
    bool ownPalette = false;  // set by the scene itself rather than its background's
    int sprites = 0;          // placements over all layers
    std::vector<int> faceSets;  // face sets whose faces it shows
    bool scrolls = false;
    int cycles = 0;  // colour cycles started
    std::array<ChannelEntry, 4> channels;
};

// An open survey; the movie model stays open while it lives. Each has its own record, so several
// may be open at once.
class Survey {
public:
    // Opens movie on host's services asking no one: only the volumes in host's settings, those
    // answered during the host's last open, and the disk images found by label answer. With skipMissing, a missing file does not end the open,
    // so every missing file is listed. Never throws for a movie that fails to open: opened() says.
    Survey(Host &host, const std::filesystem::path &movie, uint32_t openOption, bool skipMissing);
    ~Survey();
    Survey(const Survey &) = delete;
    Survey &operator=(const Survey &) = delete;

    bool opened() const;
    int width() const;
    int height() const;
    uint32_t durationMs() const;
    const std::vector<AssetEntry> &assets() const { return assets_; }
    int assetsDropped() const;
    const std::vector<SceneEntry> &scenes() const { return scenes_; }
    // The volumes the missing files name, each once, in the order first named.
    std::vector<std::string> missingVolumes() const;
    int backgroundCount() const;
    int faceSetCount() const;
    int soundCount() const;

    // The loaded records, by number, for tools that take the art out; null for a missing one.
    const BackgroundImage *background(int index) const;
    const FaceSet *faceSet(int index) const;
    const SoundSample *sound(int index) const;
    // The whole model (scene records with their placements, palettes, cycles and scrolls), for
    // tools that write it out again; null when the open failed.
    const MovieHandle *model() const;

private:
    std::unique_ptr<MovieSurvey> record_;
    std::vector<AssetEntry> assets_;
    std::vector<SceneEntry> scenes_;
    std::vector<const BackgroundImage *> backgrounds_;
    std::vector<const FaceSet *> faceSets_;
    std::vector<const SoundSample *> sounds_;
};

// The scene playing at ms (the last one when ms is past the end), from 1; 0 when there is none.
int SceneAt(std::span<const SceneEntry> scenes, uint32_t ms);

}  // namespace qfhost
