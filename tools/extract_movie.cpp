// quillframer extract on a movie: its pictures and faces as indexed PNGs, its sounds as WAVs, and
// movie.json, a make script that makes the same movie again from them.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <unordered_map>

#include "authoring/movie_writer.h"
#include "common.hpp"
#include "media/png.hpp"
#include "media/sound_file.hpp"
#include "movie/movie_model.h"
#include "qfhost/survey.hpp"
#include "qfhost/printable.hpp"
#include "qfhost/volume_command.hpp"

namespace qftools {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

// Make stores a sample read as v / 128 as round(v / 128 * gain * 127): this gain gives back v.
constexpr double ExactGain = 128.0 / 127.0;
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

qfmedia::IndexedPicture Picture(int width, int height, const uint8_t *pixels, const uint8_t *colors, int colorCount)
{
    qfmedia::IndexedPicture picture;
    picture.width = width;
    picture.height = height;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    picture.indices = pixels ? std::vector<uint8_t>(pixels, pixels + count) : std::vector<uint8_t>(count, 0);
    const int maxIndex = picture.indices.empty() ? 0 : *std::max_element(picture.indices.begin(), picture.indices.end());
    for (int c = 0; c < std::clamp(colorCount, 0, 256); ++c) picture.palette.push_back({colors[3 * c], colors[3 * c + 1], colors[3 * c + 2]});
    if (static_cast<int>(picture.palette.size()) <= maxIndex) picture.palette.resize(static_cast<size_t>(maxIndex) + 1);
    picture.bitDepth = DepthFor(picture.palette.size());
    return picture;
}

// A period that plays at exactly rate, the nearest one first.
std::optional<uint16_t> PeriodFor(uint32_t rate)
{
    uint16_t nearest = qfauthor::PeriodForRate(rate);
    if (nearest >= 55 && qfauthor::RateForPeriod(nearest) == rate) return nearest;
    for (uint32_t period = 55; period <= 65535; ++period)
        if (qfauthor::RateForPeriod(static_cast<uint16_t>(period)) == rate) return static_cast<uint16_t>(period);
    return std::nullopt;
}

std::string AmigaColor(const uint8_t *rgb)
{
    static const char digits[] = "0123456789ABCDEF";
    return {'#', digits[rgb[0] >> 4], digits[rgb[1] >> 4], digits[rgb[2] >> 4]};
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

class ScriptWriter {
public:
    ScriptWriter(const qfhost::Survey &survey, Extraction &out) : survey_(survey), m_(*survey.model()), out_(out) {}

    void addBackground(int number, const std::string &name, const std::string &file)
    {
        backgroundNames_[survey_.background(number)] = name;
        script_["backgrounds"].push_back(Json{{"name", name}, {"png", file}});
    }

    void addFaceSet(int number, const std::string &name, const std::vector<std::string> &files)
    {
        const FaceSet *set = survey_.faceSet(number);
        Json faces = Json::array();
        int face = 1;
        for (const FaceImage *image = set->images; image && face <= set->imageCount; image = image->next, ++face) {
            if (image->pixels) faceOf_[image->pixels] = {name, face, image};
            if (image->offsetX == 0 && image->offsetY == 0)
                faces.push_back(files[face - 1]);
            else
                faces.push_back(Json{{"png", files[face - 1]}, {"offset", {image->offsetX, image->offsetY}}});
        }
        script_["faceSets"].push_back(Json{{"name", name}, {"faces", faces}});
    }

    void addSound(int number, const std::string &name, const std::string &file, int rate)
    {
        Json sound{{"name", name}, {"file", file}};
        std::optional<uint16_t> period = PeriodFor(static_cast<uint32_t>(rate));
        if (period) {
            sound["period"] = *period;
        } else {  // no period plays the file's rate: kept as it is rather than resampled
            period = qfauthor::PeriodForRate(rate);
            sound["period"] = *period;
            sound["resample"] = false;
        }
        sound["gain"] = ExactGain;
        soundOf_[survey_.sound(number)] = {name, *period};
        script_["sounds"].push_back(sound);
    }

    Json scenes()
    {
        Json list = Json::array();
        const BackgroundImage *lastBackground = nullptr;
        int32_t lastFrames = -1;
        for (int32_t i = 1; i <= m_.sceneCount; ++i) {
            scene_ = i;
            Json scene = Json::object();
            const SceneRecord &s = m_.scenes[i];
            if (s.frames != lastFrames) {
                if (s.frames < 6) warn("lasts " + std::to_string(s.frames) + " ticks; movie.json gives it 6");
                scene["ticks"] = std::max(s.frames, 6);
                lastFrames = s.frames;
            }
            background(s, lastBackground, scene);
            lastBackground = s.background;
            if (s.palette && s.paletteOwned && s.paletteCount == ScenePaletteColors) {
                Json colours = Json::array();
                for (int c = 0; c < ScenePaletteColors; ++c) colours.push_back(AmigaColor(s.palette + 3 * c));
                while (!colours.empty() && colours.back() == "#000") colours.erase(colours.end() - 1);  // make fills with black
                scene["palette"] = colours;
            }
            cycles(s, scene);
            if (s.scroll) {
                Json scroll{{"axis", s.scroll->horizontal ? "x" : "y"}, {"velocity", s.scroll->velocity}};
                if (s.scroll->acceleration) scroll["acceleration"] = s.scroll->acceleration;
                if (s.scroll->limit) scroll["limit"] = s.scroll->limit;
                scene["scroll"] = scroll;
            }
            sounds(s, scene);
            sprites(s, scene);
            // A scene that says nothing continues the one before: one entry with "repeat".
            if (scene.empty() && !list.empty()) {
                Json &last = list.back();
                last["repeat"] = last.value("repeat", 1) + 1;
            } else {
                list.push_back(std::move(scene));
            }
        }
        return list;
    }

    Json &script() { return script_; }

private:
    void warn(const std::string &what) { out_.warnings.push_back("scene " + std::to_string(scene_) + ": " + what); }

    void background(const SceneRecord &s, const BackgroundImage *last, Json &scene)
    {
        // A palette borrowed from a picture marks a scene that set its background; a scene with
        // its own palette shows that it did only by a change of picture.
        bool set = (s.palette && !s.paletteOwned) || (s.background && s.background != last);
        if (!set || !s.background) return;
        if (s.background == m_.noBackground) {
            scene["background"] = nullptr;
            return;
        }
        scene["background"] = backgroundNames_[s.background];
        if (s.palette && !s.paletteOwned && s.palette != s.background->colors)
            warn("sets two backgrounds and keeps the first one's colours; movie.json gives it the second one's");
        else if (s.palette && !s.paletteOwned && s.background->colorCount < ScenePaletteColors)
            warn("background \"" + backgroundNames_[s.background] + "\" has " + std::to_string(s.background->colorCount) +
                 " colours, which leave the palette alone; made again it has 32, which set it");
    }

    void cycles(const SceneRecord &s, Json &scene)
    {
        Json ranges = Json::array();
        size_t used = 0;
        for (const ColorCycle &c : s.cycles) {
            if (c.command == 1) {
                // A range the palette cannot turn stays a range that turns nothing.
                bool turns = c.low >= 0 && c.low < c.high && c.high < PaletteWordCount;
                Json range{{"low", turns ? c.low : 0}, {"high", turns ? c.high : 0}};
                if (c.direction != 0) range["reverse"] = true;
                ranges.push_back(range);
                used = ranges.size();
            } else if (c.command == 2) {
                ranges.push_back(Json{{"stop", true}});
                used = ranges.size();
            } else {
                ranges.push_back(nullptr);
            }
        }
        if (used == 0) return;
        ranges.erase(ranges.begin() + static_cast<ptrdiff_t>(used), ranges.end());
        scene["cycles"] = ranges;
    }

    void sounds(const SceneRecord &s, Json &scene)
    {
        Json starts = Json::array();
        bool done[ChannelCount] = {};
        for (int k = 0; k < ChannelCount; ++k) {
            if (!s.sounds[k] || done[k]) continue;
            auto found = soundOf_.find(s.sounds[k]);
            if (found == soundOf_.end()) continue;
            Json channels = Json::array();
            for (int j = k; j < ChannelCount; ++j)
                if (s.sounds[j] == s.sounds[k] && s.rates[j] == s.rates[k] && s.volumes[j] == s.volumes[k]) {
                    channels.push_back(j);
                    done[j] = true;
                }
            Json start{{"sound", found->second.name}};
            if (channels.size() == 1)
                start["channel"] = k;
            else
                start["channels"] = channels;
            int volume = s.volumes[k];
            if (volume < 1 || volume > 64) {
                warn("plays \"" + found->second.name + "\" at volume " + std::to_string(volume) +
                     "; movie.json keeps it to 1-64");
                volume = std::clamp(volume, 1, 64);
            }
            if (volume != 64) start["volume"] = volume;
            std::optional<uint16_t> period = PeriodFor(s.rates[k]);
            if (!period) {
                warn("plays \"" + found->second.name + "\" at " + std::to_string(s.rates[k]) +
                     " Hz, which no period of 55 or more gives; movie.json gives the nearest");
                period = std::max<uint16_t>(55, qfauthor::PeriodForRate(std::max<int>(s.rates[k], 1)));
            }
            if (*period != found->second.period) start["period"] = *period;
            starts.push_back(start);
        }
        if (!starts.empty()) scene["sounds"] = starts;
    }

    void sprites(const SceneRecord &s, Json &scene)
    {
        Json list = Json::array();
        for (int layer = 0; layer < LayerCount; ++layer) {
            std::vector<const SpritePlacement *> placed;
            for (const SpritePlacement *p = s.layers[layer]; p; p = p->next) placed.push_back(p);
            // Each placement goes to the front of its layer's list: the stream placed them in reverse.
            for (auto it = placed.rbegin(); it != placed.rend(); ++it) {
                const SpritePlacement *p = *it;
                if (!p->pixels) continue;  // draws nothing
                auto found = faceOf_.find(p->pixels);
                if (found == faceOf_.end()) {
                    warn("shows a face of no face set; movie.json leaves it out");
                    continue;
                }
                const Face &face = found->second;
                int64_t x = int64_t{p->x} - face.image->offsetX, y = int64_t{p->y} - face.image->offsetY;
                // The stream's origin and step are 16 bits each: a far position takes both.
                int64_t dx = std::clamp<int64_t>(x, INT16_MIN, INT16_MAX), dy = std::clamp<int64_t>(y, INT16_MIN, INT16_MAX);
                int64_t ox = x - dx, oy = y - dy;
                if (ox < INT16_MIN || ox > INT16_MAX || oy < INT16_MIN || oy > INT16_MAX) {
                    warn("places a face at " + std::to_string(p->x) + "," + std::to_string(p->y) +
                         ", beyond what a script reaches; movie.json leaves it out");
                    continue;
                }
                Json sprite{{"faceSet", face.set}};
                if (layer) sprite["layer"] = layer;
                if (ox || oy) sprite["origin"] = {ox, oy};
                sprite["frames"] = Json::array({Json{{"face", face.number}, {"x", dx}, {"y", dy}}});
                list.push_back(sprite);
            }
        }
        if (!list.empty()) scene["sprites"] = list;
    }

    struct Face {
        std::string set;
        int number;
        const FaceImage *image;
    };
    struct Sound {
        std::string name;
        uint16_t period;
    };

    const qfhost::Survey &survey_;
    const MovieHandle &m_;
    Extraction &out_;
    Json script_ = Json::object();
    int32_t scene_ = 0;
    std::unordered_map<const BackgroundImage *, std::string> backgroundNames_;
    std::unordered_map<const uint8_t *, Face> faceOf_;
    std::unordered_map<const SoundSample *, Sound> soundOf_;
};

// One asset a line and one scene a line: short enough to read, and diffs stay small.
std::string Layout(const Json &script)
{
    std::string text = "{\n";
    size_t key = 0;
    for (const auto &[name, value] : script.items()) {
        text += "  " + Json(name).dump() + ": ";
        if (value.is_array() && !value.empty()) {
            text += "[\n";
            for (size_t i = 0; i < value.size(); ++i)
                text += "    " + value[i].dump() + (i + 1 < value.size() ? ",\n" : "\n");
            text += "  ]";
        } else {
            text += value.dump();
        }
        text += ++key < script.size() ? ",\n" : "\n";
    }
    return text + "}\n";
}

}  // namespace

void RunExtractMovie(const Context &context, const std::string &movie, const std::string &directory)
{
    qfhost::HostSettings settings = MakeSettings(context);
    const std::string served = ServedMovie(movie, settings);
    qfhost::Host host(std::move(settings));
    qfhost::Survey survey(host, served, 0, true);
    if (!survey.opened() || !survey.model()) {
        OpenMovie(context, movie);  // says why, as every other command does
        throw ToolError("cannot open " + qfhost::Printable(movie));
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
    ScriptWriter script(survey, out);
    Stems stems;

    for (int b = 0; b < survey.backgroundCount(); ++b) {
        const BackgroundImage *image = survey.background(b);
        if (!image) continue;
        std::string stem = stems.take(nameFor(qfhost::AssetType::Background, b, "background-" + Number(b)));
        if (image->width == 0 || image->height == 0) out.warnings.push_back(stem + ": an empty picture, written as 1x1");
        qfmedia::IndexedPicture picture =
            image->width && image->height
                ? Picture(image->width, image->height, image->pixels, image->colors, static_cast<int>(image->colorCount))
                : Picture(1, 1, nullptr, image->colors, static_cast<int>(image->colorCount));
        out.files.push_back({dir / (stem + ".png"), [picture](const fs::path &p) { qfmedia::WriteIndexedPng(p, picture); }});
        script.addBackground(b, stem, stem + ".png");
        ++out.backgrounds;
    }
    for (int s = 0; s < survey.faceSetCount(); ++s) {
        const FaceSet *set = survey.faceSet(s);
        if (!set || set->imageCount <= 0 || !set->images) continue;  // nothing to show, nothing to make again
        std::string stem = stems.take(nameFor(qfhost::AssetType::FaceSet, s, "faceset-" + Number(s)));
        std::vector<std::string> files;
        int face = 1;
        for (const FaceImage *image = set->images; image && face <= set->imageCount; image = image->next, ++face) {
            std::string name = stems.take(stem + "-face-" + Number(face)) + ".png";
            // An empty face draws nothing, as one transparent pixel does.
            qfmedia::IndexedPicture picture = image->width && image->height && image->pixels
                                                  ? Picture(static_cast<int>(image->width), static_cast<int>(image->height),
                                                            image->pixels, set->colors, set->colorCount)
                                                  : Picture(1, 1, nullptr, set->colors, set->colorCount);
            picture.transparentIndex = 0;
            out.files.push_back({dir / name, [picture](const fs::path &p) { qfmedia::WriteIndexedPng(p, picture); }});
            files.push_back(name);
            ++out.faces;
        }
        script.addFaceSet(s, stem, files);
    }
    for (int n = 0; n < survey.soundCount(); ++n) {
        const SoundSample *sound = survey.sound(n);
        if (!sound) continue;
        std::string stem = stems.take(nameFor(qfhost::AssetType::Sound, n, "sound-" + Number(n)));
        const int rate = sound->samplesPerSecond ? sound->samplesPerSecond : FallbackRate;
        std::span<const int8_t> samples(sound->data, sound->data ? sound->length : 0);
        out.files.push_back({dir / (stem + ".wav"), [samples, rate](const fs::path &p) {
                                 qfmedia::WriteAmigaSound(p, samples, rate);
                             }});
        script.addSound(n, stem, stem + ".wav", rate);
        ++out.sounds;
    }
    if (missing.empty()) {
        script.script()["scenes"] = script.scenes();
        std::string text = Layout(script.script());
        out.files.push_back({dir / "movie.json", [text](const fs::path &p) {
                                 std::FILE *f = std::fopen(p.c_str(), "wb");
                                 bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
                                 if (f && std::fclose(f) != 0) ok = false;
                                 if (!ok) throw std::runtime_error("cannot write " + p.string());
                             }});
    }

    try {
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (!fs::is_directory(dir)) throw std::runtime_error("cannot make the folder " + directory);
        qfhost::Outputs outputs = CommandOutputs(context, {served});
        AddInputsRead(host, outputs);
        std::vector<fs::path> targets;
        for (const File &f : out.files) targets.push_back(f.path);
        outputs.claim(targets, directory);  // one question for the whole set
        for (const File &f : out.files) outputs.write(f.path, f.write);
    } catch (const std::runtime_error &e) {
        throw ToolError(qfhost::Printable(e.what()));
    }

    constexpr size_t shown = 10;
    for (size_t i = 0; i < std::min(out.warnings.size(), shown); ++i)
        std::fprintf(stderr, "quillframer: warning: %s\n", qfhost::Printable(out.warnings[i]).c_str());
    if (out.warnings.size() > shown)
        std::fprintf(stderr, "quillframer: warning: and %zu more\n", out.warnings.size() - shown);
    // On stdout, as every command's summary; what went wrong goes to stderr.
    if (!context.quiet)
        std::printf("extracted %s, %s, %s into %s\n", Count(out.backgrounds, "background", "backgrounds").c_str(),
                     Count(out.faces, "face", "faces").c_str(), Count(out.sounds, "sound", "sounds").c_str(),
                     qfhost::Printable(directory).c_str());
    if (missing.empty()) return;
    for (const qfhost::AssetEntry *a : missing)
        std::fprintf(stderr, "quillframer: missing %s %s%s\n", qfhost::AssetTypeName(a->type), qfhost::Printable(a->amigaPath).c_str(),
                     a->origin == qfhost::AssetOrigin::VolumeMissing ? (" (no volume " + qfhost::Printable(a->volume) + ":)").c_str() : "");
    throw ToolError(Count(missing.size(), "file", "files") + " missing; no movie.json written");
}

}  // namespace qftools
