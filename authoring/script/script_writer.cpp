#include "authoring/script/script_writer.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "authoring/movie_writer.h"
#include "authoring/script/script_rules.hpp"

namespace qfauthor {
namespace {

using Json = nlohmann::ordered_json;

// Make stores a sample read as v / 128 as round(v / 128 * gain * 127): this gain gives back v.
constexpr double ExactGain = 128.0 / 127.0;

// A period that plays at exactly rate, the nearest one first.
std::optional<uint16_t> PeriodFor(uint32_t rate)
{
    uint16_t nearest = PeriodForRate(rate);
    if (nearest >= rules::MinPeriod && RateForPeriod(nearest) == rate) return nearest;
    for (uint32_t period = rules::MinPeriod; period <= 65535; ++period)
        if (RateForPeriod(static_cast<uint16_t>(period)) == rate) return static_cast<uint16_t>(period);
    return std::nullopt;
}

std::string AmigaColor(const uint8_t *rgb)
{
    static const char digits[] = "0123456789ABCDEF";
    return {'#', digits[rgb[0] >> 4], digits[rgb[1] >> 4], digits[rgb[2] >> 4]};
}

Json Cycles(const qfhost::SceneCommands &c)
{
    Json ranges = Json::array();
    size_t used = 0;
    for (const qfhost::CycleEntry &cycle : c.cycles) {
        if (cycle.command == 1) {
            // A range the palette cannot turn stays a range that turns nothing.
            bool turns = cycle.low >= 0 && cycle.low < cycle.high && cycle.high < qfhost::PaletteEntries;
            Json range{{"low", turns ? cycle.low : 0}, {"high", turns ? cycle.high : 0}};
            if (cycle.direction != 0) range["reverse"] = true;
            ranges.push_back(range);
            used = ranges.size();
        } else if (cycle.command == 2) {
            ranges.push_back(Json{{"stop", true}});
            used = ranges.size();
        } else {
            ranges.push_back(nullptr);
        }
    }
    ranges.erase(ranges.begin() + static_cast<ptrdiff_t>(used), ranges.end());
    return ranges;
}

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

ScriptWriter::ScriptWriter(const qfhost::Survey &survey, std::vector<std::string> &warnings)
    : survey_(survey), warnings_(warnings)
{}

void ScriptWriter::addBackground(int number, const std::string &name, const std::string &file)
{
    backgroundNames_[number] = name;
    script_["backgrounds"].push_back(Json{{"name", name}, {"png", file}});
}

void ScriptWriter::addFaceSet(int number, const std::string &name, const std::vector<std::string> &files)
{
    faceSetNames_[number] = name;
    Json faces = Json::array();
    const qfhost::FaceSetArt *set = survey_.faceSet(number);
    for (size_t i = 0; set && i < set->faces.size() && i < files.size(); ++i) {
        const qfhost::FaceArt &face = set->faces[i];
        if (face.offsetX == 0 && face.offsetY == 0) faces.push_back(files[i]);
        else faces.push_back(Json{{"png", files[i]}, {"offset", {face.offsetX, face.offsetY}}});
    }
    script_["faceSets"].push_back(Json{{"name", name}, {"faces", faces}});
}

void ScriptWriter::addSound(int number, const std::string &name, const std::string &file, int rate)
{
    Json sound{{"name", name}, {"file", file}};
    std::optional<uint16_t> period = PeriodFor(static_cast<uint32_t>(rate));
    if (period) {
        sound["period"] = *period;
    } else {  // no period plays the file's rate: kept as it is rather than resampled
        period = PeriodForRate(rate);
        sound["period"] = *period;
        sound["resample"] = false;
    }
    sound["gain"] = ExactGain;
    sounds_[number] = {name, *period};
    script_["sounds"].push_back(sound);
}

std::string ScriptWriter::text()
{
    script_["scenes"] = scenes();
    return Layout(script_);
}

ScriptWriter::Json ScriptWriter::scenes()
{
    Json list = Json::array();
    int lastBackground = -1;
    int32_t lastFrames = -1;
    for (const qfhost::SceneEntry &s : survey_.scenes()) {
        Json scene = Json::object();
        const qfhost::SceneCommands &c = s.commands;
        if (s.frames != lastFrames) {
            if (s.frames < rules::MinTicks)
                warn(s.number, "lasts " + std::to_string(s.frames) + " ticks; movie.json gives it " +
                                   std::to_string(rules::MinTicks));
            scene["ticks"] = std::max<long>(s.frames, rules::MinTicks);
            lastFrames = s.frames;
        }
        background(s, lastBackground, scene);
        lastBackground = c.background;
        if (c.hasPalette && c.ownPalette && c.paletteCount == qfhost::ScenePaletteColors) {
            Json colours = Json::array();
            for (int k = 0; k < qfhost::ScenePaletteColors; ++k)
                colours.push_back(AmigaColor(c.palette.data() + 3 * k));
            while (!colours.empty() && colours.back() == "#000")
                colours.erase(colours.end() - 1);  // make fills with black
            scene["palette"] = colours;
        }
        if (Json ranges = Cycles(c); !ranges.empty()) scene["cycles"] = ranges;
        if (c.scroll) {
            Json scroll{{"axis", c.scroll->horizontal ? "x" : "y"}, {"velocity", c.scroll->velocity}};
            if (c.scroll->acceleration) scroll["acceleration"] = c.scroll->acceleration;
            if (c.scroll->limit) scroll["limit"] = c.scroll->limit;
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

void ScriptWriter::warn(int scene, const std::string &what)
{
    warnings_.push_back("scene " + std::to_string(scene) + ": " + what);
}

void ScriptWriter::background(const qfhost::SceneEntry &s, int last, Json &scene)
{
    const qfhost::SceneCommands &c = s.commands;
    // A palette borrowed from a picture marks a scene that set its background; a scene with
    // its own palette shows that it did only by a change of picture.
    const bool borrowed = c.hasPalette && !c.ownPalette;
    bool set = borrowed || (c.background != -1 && c.background != last);
    if (!set || c.background == -1) return;
    if (c.background == qfhost::SceneCommands::NoBackground) {
        scene["background"] = nullptr;
        return;
    }
    const std::string &name = backgroundNames_[c.background];
    scene["background"] = name;
    if (borrowed && !c.paletteIsBackgrounds)
        warn(s.number, "sets two backgrounds and keeps the first one's colours; movie.json gives it the second one's");
    else if (borrowed && c.backgroundColors < qfhost::ScenePaletteColors)
        warn(s.number, "background \"" + name + "\" has " + std::to_string(c.backgroundColors) +
                           " colours, which leave the palette alone; made again it has 32, which set it");
}

void ScriptWriter::sounds(const qfhost::SceneEntry &s, Json &scene)
{
    Json starts = Json::array();
    bool done[4] = {};
    for (size_t k = 0; k < s.channels.size(); ++k) {
        const qfhost::ChannelEntry &ch = s.channels[k];
        if (ch.sound < 0 || done[k]) continue;
        auto found = sounds_.find(ch.sound);
        if (found == sounds_.end()) continue;
        Json channels = Json::array();
        for (size_t j = k; j < s.channels.size(); ++j) {
            const qfhost::ChannelEntry &other = s.channels[j];
            if (other.sound == ch.sound && other.rate == ch.rate && other.volume == ch.volume) {
                channels.push_back(j);
                done[j] = true;
            }
        }
        Json start{{"sound", found->second.name}};
        if (channels.size() == 1) start["channel"] = k;
        else start["channels"] = channels;
        int volume = ch.volume;
        if (volume < rules::MinVolume || volume > rules::MaxVolume) {
            warn(s.number, "plays \"" + found->second.name + "\" at volume " + std::to_string(volume) +
                               "; movie.json keeps it to " + std::to_string(rules::MinVolume) + "-" +
                               std::to_string(rules::MaxVolume));
            volume = std::clamp(volume, rules::MinVolume, rules::MaxVolume);
        }
        if (volume != rules::MaxVolume) start["volume"] = volume;
        std::optional<uint16_t> period = PeriodFor(static_cast<uint32_t>(ch.rate));
        if (!period) {
            warn(s.number, "plays \"" + found->second.name + "\" at " + std::to_string(ch.rate) +
                               " Hz, which no period of " + std::to_string(rules::MinPeriod) +
                               " or more gives; movie.json gives the nearest");
            period = std::max<uint16_t>(rules::MinPeriod, PeriodForRate(std::max<int>(ch.rate, 1)));
        }
        if (*period != found->second.period) start["period"] = *period;
        starts.push_back(start);
    }
    if (!starts.empty()) scene["sounds"] = starts;
}

void ScriptWriter::sprites(const qfhost::SceneEntry &s, Json &scene)
{
    Json list = Json::array();
    for (const qfhost::PlacementEntry &p : s.commands.placements) {
        auto name = faceSetNames_.find(p.faceSet);
        const qfhost::FaceSetArt *set = survey_.faceSet(p.faceSet);
        if (name == faceSetNames_.end() || !set || p.face < 1 || p.face > static_cast<int>(set->faces.size())) {
            warn(s.number, "shows a face of no face set; movie.json leaves it out");
            continue;
        }
        const qfhost::FaceArt &face = set->faces[static_cast<size_t>(p.face) - 1];
        int64_t x = int64_t{p.x} - face.offsetX, y = int64_t{p.y} - face.offsetY;
        // The stream's origin and step are 16 bits each: a far position takes both.
        int64_t dx = std::clamp<int64_t>(x, INT16_MIN, INT16_MAX), dy = std::clamp<int64_t>(y, INT16_MIN, INT16_MAX);
        int64_t ox = x - dx, oy = y - dy;
        if (ox < INT16_MIN || ox > INT16_MAX || oy < INT16_MIN || oy > INT16_MAX) {
            warn(s.number, "places a face at " + std::to_string(p.x) + "," + std::to_string(p.y) +
                               ", beyond what a script reaches; movie.json leaves it out");
            continue;
        }
        Json sprite{{"faceSet", name->second}};
        if (p.layer) sprite["layer"] = p.layer;
        if (ox || oy) sprite["origin"] = {ox, oy};
        sprite["frames"] = Json::array({Json{{"face", p.face}, {"x", dx}, {"y", dy}}});
        list.push_back(sprite);
    }
    if (!list.empty()) scene["sprites"] = list;
}

}  // namespace qfauthor
