// quillframer info on a movie: its files, scenes and missing files, from the plug-in's own model.
#include "info_movie.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "qfhost/name_rules.hpp"
#include "qfutil/printable.hpp"
#include "qfhost/time.hpp"
#include "qfhost/volume_files.hpp"

namespace qftools {
namespace {

namespace fs = std::filesystem;
using qfhost::AssetEntry;
using qfhost::AssetOrigin;
using qfhost::AssetType;

std::string Label(const AssetEntry &a) { return qfhost::AssetTypeName(a.type) + (" " + std::to_string(a.index)); }

// A volume on a disk image or archive is served as paths under the image's own path, so the
// nearest existing ancestor of the path that is a file is the image.
struct Place {
    std::string image, inside;
};
std::optional<Place> InImage(const std::string &hostPath)
{
    std::error_code ec;
    const fs::path path(hostPath);
    for (fs::path up = path.parent_path(); !up.empty() && up != up.parent_path(); up = up.parent_path()) {
        if (fs::is_regular_file(up, ec)) return Place{up.string(), path.lexically_relative(up).generic_string()};
        if (fs::is_directory(up, ec)) break;
    }
    return std::nullopt;
}

std::string Where(const AssetEntry &a)
{
    if (std::optional<Place> place = InImage(a.hostPath)) return place->image + ":" + place->inside;
    return a.hostPath;
}

std::string SizeText(AssetType type, const AssetSize &s)
{
    if (type == AssetType::Background && s.width)
        return std::to_string(s.width) + " x " + std::to_string(s.height) + ", " + Count(s.colors, "colour", "colours");
    if (type == AssetType::FaceSet && (s.faces || s.colors))
        return Count(s.faces, "face", "faces") + ", " + Count(s.colors, "colour", "colours");
    if (type == AssetType::Sound && (s.samples || s.rate))
        return Count(s.samples, "sample", "samples") + " at " + std::to_string(s.rate) + " Hz";
    return "";
}

const char *OriginName(AssetOrigin origin)
{
    switch (origin) {
    case AssetOrigin::Embedded: return "embedded";
    case AssetOrigin::Loaded: return "loaded";
    case AssetOrigin::NotLoaded: return "notLoaded";
    case AssetOrigin::VolumeMissing: return "volumeMissing";
    case AssetOrigin::FileMissing: return "fileMissing";
    case AssetOrigin::PathRefused: return "pathRefused";
    }
    return "";
}

// Why a missing file is missing, after its Amiga path.
std::string MissingWhy(const AssetEntry &a)
{
    if (a.origin == AssetOrigin::FileMissing) return " (not at " + Where(a) + ")";
    if (a.origin == AssetOrigin::PathRefused) return " (refused: names no usable volume)";
    return "";
}

// The name a sound's loading command gives it (the script's, for a movie made by make), else "".
std::string SoundName(const MovieContents &c, int sound)
{
    for (const AssetEntry &a : c.assets)
        if (a.type == AssetType::Sound && a.index == sound) return a.name;
    return "";
}

bool SameVolume(const std::string &a, const std::string &b) { return qfhost::CompareNamesIgnoringCase(a, b) == 0; }

}  // namespace

MovieContents SurveyMovie(const Context &context, const std::string &movie)
{
    qfhost::HostSettings settings = MakeSettings(context);
    const std::string served = ServedMovie(movie, settings);
    settings.notice = nullptr;  // the normal open after this one tells which image it used
    qfhost::Host host(std::move(settings));
    qfhost::Survey survey(host, served, 0, true);
    MovieContents c;
    c.opened = survey.opened();
    c.failure = AsGiven(survey.failure(), served, MovieName(movie));
    c.assets = survey.assets();
    c.scenes = survey.scenes();
    c.missingVolumes = survey.missingVolumes();
    c.backgrounds = survey.backgroundCount();
    c.faceSets = survey.faceSetCount();
    c.sounds = survey.soundCount();
    c.durationMs = survey.durationMs();
    if (c.opened) c.width = survey.width(), c.height = survey.height();
    c.assetsDropped = survey.assetsDropped();
    for (const AssetEntry &a : c.assets) {
        AssetSize size;
        if (a.type == AssetType::Background) {
            if (const qfhost::PictureArt *b = survey.background(a.index))
                size.width = b->width, size.height = b->height, size.colors = b->colorCount;
        } else if (a.type == AssetType::FaceSet) {
            if (const qfhost::FaceSetArt *f = survey.faceSet(a.index))
                size.faces = f->imageCount, size.colors = f->colorCount;
        } else if (const qfhost::SoundArt *s = survey.sound(a.index)) {
            size.samples = s->length, size.rate = s->rate;
        }
        c.sizes.push_back(size);
    }
    return c;
}

void RefuseBroken(const MovieContents &contents)
{
    if (!contents.opened && !contents.failure.empty()) throw ToolError(contents.failure);
}

void RefuseMissing(const MovieContents &contents, const std::string &movie, bool json)
{
    // Grouped by volume as the movie first names it, case aside.
    std::vector<std::vector<const AssetEntry *>> groups;
    for (const AssetEntry &a : contents.assets) {
        if (!a.missing()) continue;
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [&](const auto &g) { return SameVolume(g[0]->volume, a.volume); });
        if (group == groups.end()) groups.push_back({&a});
        else group->push_back(&a);
    }
    if (groups.empty()) return;

    size_t onMissingVolumes = 0, others = 0;
    const std::vector<std::string> &volumes = contents.missingVolumes;
    const AssetEntry *firstOther = nullptr;
    for (const auto &group : groups)
        for (const AssetEntry *a : group) {
            if (a->origin == AssetOrigin::VolumeMissing) {
                ++onMissingVolumes;
            } else {
                ++others;
                if (!firstOther) firstOther = a;
            }
        }
    if (!json) {
        std::printf("%s\n", qfutil::Printable(MovieName(movie)).c_str());
        const char *heading = "  missing  ";
        for (const auto &group : groups) {
            const std::string &volume = group[0]->volume;
            const bool given = group[0]->origin != AssetOrigin::VolumeMissing;
            std::printf("%s%s%s\n", heading, volume.empty() ? "(no volume)" : (volume + ":").c_str(),
                        given ? "" : " (no --volume for it)");
            heading = "           ";
            for (const AssetEntry *a : group)
                std::printf("             %-13s %s%s\n", Label(*a).c_str(), a->amigaPath.c_str(),
                            MissingWhy(*a).c_str());
        }
        std::fflush(stdout);
    }
    std::string line;
    if (onMissingVolumes) {
        line = Count(onMissingVolumes, "file", "files") + " on " + Count(volumes.size(), "volume", "volumes") +
               (onMissingVolumes == 1 ? " is" : " are") + " missing; give " + (onMissingVolumes == 1 ? "it" : "them") +
               " with";
        for (const std::string &v : volumes) line += " --volume " + v + "=DIR";
        if (others) line += "; " + std::to_string(others) + " more cannot be read where the movie names them";
    } else {
        line = Count(others, "file is", "files are") + " missing, " + (others == 1 ? "" : "the first ") +
               firstOther->amigaPath + MissingWhy(*firstOther);
    }
    throw ToolError(line);
}

void PrintContents(const MovieContents &c)
{
    std::printf("  contents %s, %s, %s, %s\n", Count(c.scenes.size(), "scene", "scenes").c_str(),
                Count(c.backgrounds, "background", "backgrounds").c_str(),
                Count(c.faceSets, "face set", "face sets").c_str(), Count(c.sounds, "sound", "sounds").c_str());
    for (size_t i = 0; i < c.assets.size(); ++i) {
        const AssetEntry &a = c.assets[i];
        std::string from = a.origin != AssetOrigin::Embedded ? a.amigaPath + " (" + Where(a) + ")"
                           : a.name.empty()                  ? "embedded"
                                                             : "embedded as " + qfutil::Quoted(a.name);
        if (a.origin == AssetOrigin::NotLoaded) from += " not loaded: the movie plays without it";
        if (a.missing()) from += " missing" + MissingWhy(a);
        const std::string size = SizeText(a.type, c.sizes[i]);
        std::printf("  file     %-13s %s%s%s\n", Label(a).c_str(), from.c_str(), size.empty() ? "" : "  ",
                    size.c_str());
    }
    if (c.assetsDropped) std::printf("  file     and %d more, not listed\n", c.assetsDropped);
}

void PrintScenes(const MovieContents &c)
{
    std::printf("  scene  start      length     background  palette            sprites  face sets  "
                "channel 0 to 3: sound rate volume\n");
    for (const qfhost::SceneEntry &s : c.scenes) {
        // Playback loads a palette only when it has all 32 colours; otherwise the colours before stay.
        std::string palette = s.paletteColors == 0 ? "kept"
                              : s.paletteColors != qfhost::ScenePaletteColors
                                  ? "unused (" + Count(s.paletteColors, "colour)", "colours)")
                              : s.ownPalette || s.background < 0 ? "own " + std::to_string(s.paletteColors)
                                                                 : "from background " + std::to_string(s.background);
        std::string faces;
        for (int f : s.faceSets) faces += (faces.empty() ? "" : ",") + std::to_string(f);
        std::string channels;
        for (const qfhost::ChannelEntry &ch : s.channels) {
            // A sound by the name the script gave it, where the movie carries one.
            const std::string name = ch.sound < 0 ? "" : SoundName(c, ch.sound);
            std::string cell = ch.sound < 0 ? "-"
                                            : (name.empty() ? std::to_string(ch.sound) : name) + " " +
                                                  std::to_string(ch.rate) + "Hz v" + std::to_string(ch.volume);
            cell.resize(std::max<size_t>(cell.size() + 1, 16), ' ');
            channels += cell;
        }
        while (!channels.empty() && channels.back() == ' ') channels.pop_back();
        std::printf("  %5d  %-9s  %-9s  %-10s  %-17s  %7d  %-9s  %s\n", s.number, qfhost::FormatTime(s.startMs).c_str(),
                    qfhost::FormatTime(s.durationMs).c_str(),
                    s.background < 0 ? "-" : std::to_string(s.background).c_str(), palette.c_str(), s.sprites,
                    faces.empty() ? "-" : faces.c_str(), channels.c_str());
    }
}

void AddContents(nlohmann::ordered_json &j, const MovieContents &c)
{
    j["scenes"] = nlohmann::json::array();
    for (const qfhost::SceneEntry &s : c.scenes) {
        nlohmann::ordered_json scene{
            {"number", s.number},
            {"start", s.startMs},
            {"startTime", qfhost::FormatTime(s.startMs)},
            {"duration", s.durationMs},
            {"length", qfhost::FormatTime(s.durationMs)},
            {"frames", s.frames},
            {"background", s.background < 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(s.background)},
            {"paletteColors", s.paletteColors},
            {"ownPalette", s.ownPalette},
            {"sprites", s.sprites},
            {"faceSets", s.faceSets},
            {"scrolls", s.scrolls},
            {"cycles", s.cycles}};
        scene["channels"] = nlohmann::json::array();
        for (const qfhost::ChannelEntry &ch : s.channels)
            scene["channels"].push_back(ch.sound < 0 ? nlohmann::ordered_json()
                                                     : nlohmann::ordered_json{{"sound", ch.sound},
                                                                              {"name", SoundName(c, ch.sound)},
                                                                              {"rate", ch.rate},
                                                                              {"volume", ch.volume}});
        j["scenes"].push_back(scene);
    }
    j["assets"] = nlohmann::json::array();
    for (size_t i = 0; i < c.assets.size(); ++i) {
        const AssetEntry &a = c.assets[i];
        const AssetSize &size = c.sizes[i];
        nlohmann::ordered_json asset{{"type", a.type == AssetType::FaceSet ? "faceSet" : qfhost::AssetTypeName(a.type)},
                                     {"number", a.index},
                                     {"name", a.name},
                                     {"origin", OriginName(a.origin)},
                                     {"offset", a.offset}};
        if (a.origin != AssetOrigin::Embedded) {
            asset["amigaPath"] = a.amigaPath;
            asset["volume"] = a.volume;
            asset["hostPath"] = a.hostPath;
            if (std::optional<Place> place = InImage(a.hostPath))
                asset["image"] = place->image, asset["inside"] = place->inside;
        }
        if (a.type == AssetType::Background && size.width)
            asset["width"] = size.width, asset["height"] = size.height, asset["colors"] = size.colors;
        if (a.type == AssetType::FaceSet && (size.faces || size.colors))
            asset["faces"] = size.faces, asset["colors"] = size.colors;
        if (a.type == AssetType::Sound && (size.samples || size.rate))
            asset["samples"] = size.samples, asset["rate"] = size.rate;
        j["assets"].push_back(asset);
    }
    if (c.assetsDropped) j["assetsNotListed"] = c.assetsDropped;
}

}  // namespace qftools
