// quillframer extract on a movie: its pictures and faces as indexed PNGs, its sounds as WAVs, and
// movie.json, a make script that makes the same movie again from them.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <span>

#include "authoring/script/script_writer.hpp"
#include "common.hpp"
#include "media/png.hpp"
#include "media/sound_file.hpp"
#include "qfhost/survey.hpp"
#include "qfutil/output.hpp"
#include "qfutil/printable.hpp"
#include "qfhost/volume_files.hpp"

namespace qftools {
namespace {

namespace fs = std::filesystem;

constexpr int FallbackRate = 8363;  // for a sound whose header gives no rate

std::string Number(int n)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02d", n);
    return text;
}

// The last part of an Amiga path as a file name stem that stays inside the folder and means the
// same on every system: Latin-1 made UTF-8; separators, control bytes and characters that
// Windows or a shell treat specially replaced; no leading dot or dash; "" when nothing is left.
std::string SafeStem(const std::string &amigaPath)
{
    size_t cut = amigaPath.find_last_of(":/");
    std::string name = cut == std::string::npos ? amigaPath : amigaPath.substr(cut + 1);
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const char *ext : {".iff", ".ilbm", ".lbm", ".8svx", ".svx"})
        if (lower.size() > std::strlen(ext) && lower.ends_with(ext)) name.resize(name.size() - std::strlen(ext));
    std::string safe;
    for (unsigned char c : name) {
        if (c >= 0xa0) {
            safe += static_cast<char>(0xc0 | c >> 6);
            safe += static_cast<char>(0x80 | (c & 0x3f));
        } else if (c < 0x20 || c >= 0x7f || std::strchr("/\\:*?\"<>|", c)) {
            safe += '_';
        } else {
            safe += static_cast<char>(c);
        }
    }
    while (!safe.empty() && (safe.back() == ' ' || safe.back() == '.')) safe.pop_back();
    if (!safe.empty() && (safe.front() == '.' || safe.front() == '-')) safe.front() = '_';
    if (safe.size() > 64) {  // cut at a whole character
        safe.resize(64);
        if ((static_cast<unsigned char>(safe.back()) & 0xc0) == 0xc0) safe.pop_back();
    }
    return safe;
}

// Stems given out once each, ignoring case (a folder on macOS or Windows would).
class Stems {
public:
    Stems() { take("movie"); }
    std::string take(const std::string &wanted)
    {
        for (int n = 1;; ++n) {
            std::string stem = n == 1 ? wanted : wanted + "-" + std::to_string(n);
            std::string key = stem;
            std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
            if (used_.insert(key).second) return stem;
        }
    }

private:
    std::set<std::string> used_;
};

// The smallest PNG depth holding both the palette and every index.
int DepthFor(size_t entries)
{
    for (int depth : {1, 2, 4})
        if (entries <= (size_t{1} << depth)) return depth;
    return 8;
}

// Indices the picture lacks are 0.
qfmedia::IndexedPicture Picture(int width, int height, std::span<const uint8_t> pixels, std::span<const uint8_t> colors)
{
    qfmedia::IndexedPicture picture;
    picture.width = width;
    picture.height = height;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    picture.indices.assign(pixels.begin(), pixels.begin() + static_cast<ptrdiff_t>(std::min(count, pixels.size())));
    picture.indices.resize(count, 0);
    const int maxIndex =
        picture.indices.empty() ? 0 : *std::max_element(picture.indices.begin(), picture.indices.end());
    for (size_t c = 0; c + 2 < colors.size(); c += 3)
        picture.palette.push_back({colors[c], colors[c + 1], colors[c + 2]});
    if (static_cast<int>(picture.palette.size()) <= maxIndex) picture.palette.resize(static_cast<size_t>(maxIndex) + 1);
    picture.bitDepth = DepthFor(picture.palette.size());
    return picture;
}

// Faces draw through the scene's palette, not the colours stored with their set: the palette of the
// first scene showing set `index`, unless the set's own colours already agree with it on every
// number the faces use (then they are kept, and the PNGs stay as they were).
std::span<const uint8_t> PlayedColours(const qfhost::Survey &survey, int index, const qfhost::FaceSetArt &set)
{
    std::span<const uint8_t> palette;
    for (const qfhost::SceneEntry &scene : survey.scenes()) {
        const qfhost::SceneCommands &c = scene.commands;
        // A palette borrowed from the picture plays its colour map at full depth.
        const qfhost::PictureArt *picture = c.paletteIsBackgrounds ? survey.background(c.background) : nullptr;
        if (picture && picture->colors.size() >= 3 * qfhost::ScenePaletteColors)
            palette = picture->colors.first(3 * qfhost::ScenePaletteColors);
        else if (c.hasPalette && c.palette.size() == 3 * qfhost::ScenePaletteColors) palette = c.palette;
        if (palette.empty() || std::find(scene.faceSets.begin(), scene.faceSets.end(), index) == scene.faceSets.end())
            continue;
        uint8_t highest = 0;
        bool agrees = true;
        for (const qfhost::FaceArt &face : set.faces)
            for (uint8_t v : face.pixels) {
                highest = std::max(highest, v);
                if (v == 0) continue;
                auto amiga = [](std::span<const uint8_t> rgb, size_t k) {
                    return 3 * k + 2 < rgb.size()
                               ? (rgb[3 * k] >> 4) << 8 | (rgb[3 * k + 1] >> 4) << 4 | rgb[3 * k + 2] >> 4
                               : -1;
                };
                agrees = agrees && amiga(set.colors, v) == amiga(palette, v);
            }
        // As many colours as the faces use, so the PNGs stay as small as the set's own would be.
        return agrees ? set.colors : palette.first(3 * (size_t{highest} + 1));
    }
    return set.colors;
}

struct File {
    fs::path path;
    std::function<void(const fs::path &)> write;
};

struct Extraction {
    std::vector<File> files;
    std::vector<std::string> warnings;
    int backgrounds = 0, faces = 0, sounds = 0;
};

}  // namespace

void RunExtractMovie(const Context &context, const std::string &movie, const std::string &directory)
{
    qfhost::HostSettings settings = MakeSettings(context);
    const std::string served = ServedMovie(movie, settings);
    qfhost::Host host(std::move(settings));
    qfhost::Survey survey(host, served, 0, true);
    if (!survey.opened()) {
        OpenMovie(context, movie);  // says why, as every other command does
        throw ToolError("cannot open " + qfutil::Printable(movie));
    }
    CheckPixelBudget(context, survey.width(), survey.height());

    // Amiga names by asset, where the stream gave one.
    std::map<std::pair<qfhost::AssetType, int>, std::string> amigaNames;
    std::vector<const qfhost::AssetEntry *> missing;
    for (const qfhost::AssetEntry &a : survey.assets()) {
        if (a.missing()) missing.push_back(&a);
        if (a.index >= 0 && !a.rawAmigaPath.empty()) amigaNames[{a.type, a.index}] = SafeStem(a.rawAmigaPath);
    }
    auto nameFor = [&](qfhost::AssetType type, int index, const std::string &fallback) {
        auto found = amigaNames.find({type, index});
        return found == amigaNames.end() || found->second.empty() ? fallback : found->second;
    };

    const fs::path dir(directory);
    Extraction out;
    qfauthor::ScriptWriter script(survey, out.warnings);
    Stems stems;

    for (int b = 0; b < survey.backgroundCount(); ++b) {
        const qfhost::PictureArt *image = survey.background(b);
        if (!image) continue;
        std::string stem = stems.take(nameFor(qfhost::AssetType::Background, b, "background-" + Number(b)));
        if (image->width == 0 || image->height == 0)
            out.warnings.push_back(stem + ": an empty picture, written as 1x1");
        qfmedia::IndexedPicture picture = image->width && image->height
                                              ? Picture(image->width, image->height, image->pixels, image->colors)
                                              : Picture(1, 1, {}, image->colors);
        out.files.push_back(
            {dir / (stem + ".png"), [picture](const fs::path &p) { qfmedia::WriteIndexedPng(p, picture); }});
        script.addBackground(b, stem, stem + ".png");
        ++out.backgrounds;
    }
    for (int s = 0; s < survey.faceSetCount(); ++s) {
        const qfhost::FaceSetArt *set = survey.faceSet(s);
        if (!set || set->faces.empty()) continue;  // nothing to show, nothing to make again
        std::string stem = stems.take(nameFor(qfhost::AssetType::FaceSet, s, "faceset-" + Number(s)));
        std::vector<std::string> files;
        const std::span<const uint8_t> colours = PlayedColours(survey, s, *set);
        for (size_t face = 1; face <= set->faces.size(); ++face) {
            const qfhost::FaceArt &image = set->faces[face - 1];
            std::string name = stems.take(stem + "-face-" + Number(static_cast<int>(face))) + ".png";
            // An empty face draws nothing, as one transparent pixel does.
            qfmedia::IndexedPicture picture =
                image.width && image.height && !image.pixels.empty()
                    ? Picture(static_cast<int>(image.width), static_cast<int>(image.height), image.pixels, colours)
                    : Picture(1, 1, {}, colours);
            picture.transparentIndex = 0;
            out.files.push_back({dir / name, [picture](const fs::path &p) { qfmedia::WriteIndexedPng(p, picture); }});
            files.push_back(name);
            ++out.faces;
        }
        script.addFaceSet(s, stem, files);
    }
    for (int n = 0; n < survey.soundCount(); ++n) {
        const qfhost::SoundArt *sound = survey.sound(n);
        if (!sound) continue;
        std::string stem = stems.take(nameFor(qfhost::AssetType::Sound, n, "sound-" + Number(n)));
        const int rate = sound->rate ? static_cast<int>(sound->rate) : FallbackRate;
        std::span<const int8_t> samples = sound->samples;
        out.files.push_back({dir / (stem + ".wav"),
                             [samples, rate](const fs::path &p) { qfmedia::WriteAmigaSound(p, samples, rate); }});
        script.addSound(n, stem, stem + ".wav", rate);
        ++out.sounds;
    }
    if (missing.empty()) {
        std::string text = script.text();
        out.files.push_back({dir / "movie.json", [text](const fs::path &p) { qfutil::WriteFile(p, text); }});
    }

    try {
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (!fs::is_directory(dir)) throw std::runtime_error("cannot make the folder " + directory);
        qfutil::Outputs outputs = CommandOutputs(context, {served});
        AddInputsRead(host, outputs);
        std::vector<fs::path> targets;
        for (const File &f : out.files) targets.push_back(f.path);
        outputs.claim(targets, directory);  // one question for the whole set
        for (const File &f : out.files) outputs.write(f.path, f.write);
    } catch (const std::runtime_error &e) {
        throw ToolError(qfutil::Printable(e.what()));
    }

    constexpr size_t shown = 10;
    for (size_t i = 0; i < std::min(out.warnings.size(), shown); ++i)
        std::fprintf(stderr, "quillframer: warning: %s\n", qfutil::Printable(out.warnings[i]).c_str());
    if (out.warnings.size() > shown)
        std::fprintf(stderr, "quillframer: warning: and %zu more\n", out.warnings.size() - shown);
    // On stdout, as every command's summary; what went wrong goes to stderr.
    if (!context.quiet)
        std::printf("extracted %s, %s, %s into %s\n", Count(out.backgrounds, "background", "backgrounds").c_str(),
                    Count(out.faces, "face", "faces").c_str(), Count(out.sounds, "sound", "sounds").c_str(),
                    qfutil::Printable(directory).c_str());
    if (missing.empty()) return;
    for (const qfhost::AssetEntry *a : missing)
        std::fprintf(stderr, "quillframer: missing %s %s%s\n", qfhost::AssetTypeName(a->type),
                     qfutil::Printable(a->amigaPath).c_str(),
                     a->origin == qfhost::AssetOrigin::VolumeMissing
                         ? (" (no volume " + qfutil::Printable(a->volume) + ":)").c_str()
                         : "");
    throw ToolError(Count(missing.size(), "file", "files") + " missing; no movie.json written");
}

}  // namespace qftools
