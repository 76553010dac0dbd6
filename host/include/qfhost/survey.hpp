// What a movie is made of: its scenes, and every picture, face set and sound its stream loads,
// by Amiga path with where the host found it. Read from the plug-in's own code built to record it
// (qfcore_explain), so it is the plug-in's view, not a second parser's.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "qfhost/host.hpp"

struct MovieSurvey;

namespace qfhost {

enum class AssetType {
    Background,
    FaceSet,
    Sound
};

inline constexpr int PaletteEntries = 256;     // colours a picture's palette holds at most
inline constexpr int ScenePaletteColors = 32;  // a scene's palette loads only with all of them

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
    int64_t offset;            // of the command that loads it
    std::string amigaPath;     // "" when embedded
    std::string volume;        // without colon
    std::string hostPath;      // where the host looked; for a volume on a disk image, a path inside it
    std::string rawAmigaPath;  // amigaPath byte for byte, unescaped: for tools that make file names of it
    // The file name its loading command gives, embedded too ("" where the writer gave none): the
    // name a make script gave the asset (its amigaName, by default its name).
    std::string name;
    bool missing() const;
};

struct ChannelEntry {
    int sound = -1;  // sound number, -1 when the channel is silent
    int rate = 0;    // Hz
    int volume = 0;  // 0..64
};

// A colour cycle command as the scene gives it.
struct CycleEntry {
    int command = 0;  // 1 start, 2 stop, other: leave the cycle alone
    int low = 0, high = 0;
    int direction = 0;  // 0 towards higher indices
};

struct ScrollEntry {
    bool horizontal = false;
    int velocity = 0, acceleration = 0, limit = 0;
};

// A face shown in a layer, in the order the stream placed them.
struct PlacementEntry {
    int layer = 0;
    int32_t x = 0, y = 0;
    int faceSet = -1;  // -1 when the face belongs to no loaded set
    int face = 0;      // from 1
};

// What a scene's commands set, as a make script writes them again.
struct SceneCommands {
    static constexpr int NoBackground = -2;  // the record that clears the picture
    int background = -1;                     // number, -1 for none, or NoBackground
    bool hasPalette = false;
    bool ownPalette = false;
    int paletteCount = 0;
    bool paletteIsBackgrounds = false;  // the palette is the background's own colours
    int backgroundColors = 0;           // the background's colour count
    std::vector<uint8_t> palette;       // RGB triples when the palette has exactly 32 colours
    std::array<CycleEntry, 4> cycles;
    std::optional<ScrollEntry> scroll;
    std::vector<PlacementEntry> placements;
};

struct SceneEntry {
    int number = 0;  // from 1
    uint32_t startMs = 0;
    uint32_t durationMs = 0;
    int frames = 0;             // 1/50 s each
    int background = -1;        // background number, -1 for none
    int paletteColors = 0;      // colours the scene's palette gives, 0 when it has none
    bool ownPalette = false;    // set by the scene itself rather than its background's
    int sprites = 0;            // placements over all layers
    std::vector<int> faceSets;  // face sets whose faces it shows
    bool scrolls = false;
    int cycles = 0;  // colour cycles started
    std::array<ChannelEntry, 4> channels;
    SceneCommands commands;
};

// The art of a loaded file, viewing the survey's model: valid while the Survey lives.
struct PictureArt {
    int width = 0, height = 0;
    std::span<const uint8_t> pixels;  // width * height indices; empty when none were decoded
    std::span<const uint8_t> colors;  // RGB triples, at most 256
    int colorCount = 0;               // as the file gives it
};

struct FaceArt {
    uint32_t width = 0, height = 0;
    int32_t offsetX = 0, offsetY = 0;
    std::span<const uint8_t> pixels;  // empty when none were decoded
};

struct FaceSetArt {
    std::span<const uint8_t> colors;  // RGB triples, at most 256
    int colorCount = 0;
    int imageCount = 0;          // as the file gives it
    std::vector<FaceArt> faces;  // those read, at most imageCount
};

struct SoundArt {
    std::span<const int8_t> samples;
    uint32_t length = 0;  // as the file gives it
    uint32_t rate = 0;    // Hz, 0 when the header gives none
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
    // Why it did not open, in the words every open uses (skipping missing files, so a broken
    // stream); "" when it opened.
    const std::string &failure() const { return failure_; }
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

    // The loaded files' art, by number, for tools that take it out; null for a missing one.
    const PictureArt *background(int index) const;
    const FaceSetArt *faceSet(int index) const;
    const SoundArt *sound(int index) const;

private:
    std::unique_ptr<MovieSurvey> record_;
    std::vector<AssetEntry> assets_;
    std::string failure_;
    std::vector<SceneEntry> scenes_;
    std::vector<std::optional<PictureArt>> backgrounds_;
    std::vector<std::optional<FaceSetArt>> faceSets_;
    std::vector<std::optional<SoundArt>> sounds_;
};

// The scene playing at ms (the last one when ms is past the end), from 1; 0 when there is none.
int SceneAt(std::span<const SceneEntry> scenes, uint32_t ms);

}  // namespace qfhost
