// make's scenes: each entry of the script's "scenes" list turned into its scene's commands.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "authoring/script/make_internal.hpp"
#include "authoring/script/script_rules.hpp"

namespace qfauthor::make {

namespace {

uint16_t ParseColor(const json &value)
{
    if (value.is_array()) {
        if (value.size() != 3) throw std::invalid_argument("a colour array needs 3 numbers");
        auto c = [&](int i) { return static_cast<uint8_t>(std::clamp(Integer<int>(value[i]), 0, 255)); };
        return AmigaColor(c(0), c(1), c(2));
    }
    std::string text = value.get<std::string>();
    if (text.size() == 4 && text[0] == '#') return static_cast<uint16_t>(std::stoul(text.substr(1), nullptr, 16));
    if (text.size() == 7 && text[0] == '#') {
        unsigned long v = std::stoul(text.substr(1), nullptr, 16);
        return AmigaColor(static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v));
    }
    throw std::invalid_argument("colour \"" + text + "\" is not #RGB, #RRGGBB or [r, g, b]");
}

}  // namespace

std::array<uint16_t, 32> ScenePalette(const json &p, const Assets &assets)
{
    std::array<uint16_t, 32> colours{};
    if (p.is_string()) {
        const LoadedAsset &b = assets.named(p.get<std::string>());
        if (b.kind != Asset::Background) throw std::invalid_argument("\"palette\" names no background");
        for (size_t c = 0; c < 32; ++c)
            colours[c] = AmigaColor(b.palette[c].red, b.palette[c].green, b.palette[c].blue);
    } else {
        if (!p.is_array()) throw std::invalid_argument("\"palette\" lists up to 32 colours");
        // The numbers are the colours' own: no quantiser can choose which 32 of them a picture means.
        if (p.size() > 32)
            throw std::invalid_argument("\"palette\" lists " + std::to_string(p.size()) +
                                        " colours; a scene's palette holds 32");
        for (size_t c = 0; c < p.size(); ++c) colours[c] = ParseColor(p[c]);
    }
    return colours;
}

namespace {

std::array<CycleRange, 4> Cycles(const json &c)
{
    std::array<CycleRange, 4> ranges;
    for (auto &r : ranges) r.command = 3;  // leave the slot as it is
    if (c.is_string() && c.get<std::string>() == "stop") {
        for (auto &r : ranges) r.command = 2;
        return ranges;
    }
    if (!c.is_array() || c.size() > 4) throw std::invalid_argument("\"cycles\" lists up to 4 ranges, or is \"stop\"");
    for (size_t k = 0; k < c.size(); ++k) {
        if (c[k].is_null()) continue;
        // A stop needs no range: { "stop": true } alone, as documented.
        const bool stop = Get(c[k], "stop", false);
        ranges[k].low = stop ? Get<uint16_t>(c[k], "low", 0) : Integer<uint16_t>(c[k].at("low"));
        ranges[k].high = stop ? Get<uint16_t>(c[k], "high", 0) : Integer<uint16_t>(c[k].at("high"));
        if (ranges[k].high > 255 || ranges[k].low > ranges[k].high)
            throw std::invalid_argument("a cycle range needs low <= high <= 255");
        ranges[k].direction = Get(c[k], "reverse", false) ? 1 : 0;
        ranges[k].command = stop ? 2 : 1;
    }
    return ranges;
}

void Scroll(const json &g, MovieWriter &movie)
{
    std::string axis = Get<std::string>(g, "axis", "x");
    if (axis != "x" && axis != "y") throw std::invalid_argument("scroll \"axis\" is \"x\" or \"y\"");
    movie.scroll(Get<int16_t>(g, "velocity", 0), Get<int16_t>(g, "limit", 0), Get<int16_t>(g, "acceleration", 0),
                 axis == "x");
}

void Sound(const json &h, const Assets &assets, MovieWriter &movie)
{
    std::string name = Required(h, "sound");
    uint16_t n = assets.number(name, Asset::Sound, "sound");
    uint16_t mask = 0;
    if (h.contains("channel")) mask = static_cast<uint16_t>(1u << std::clamp(Integer<int>(h["channel"]), 0, 3));
    for (const json &k : h.value("channels", json::array())) {
        int ch = Integer<int>(k);
        if (ch < 0 || ch > 3) throw std::invalid_argument("channels are 0 to 3");
        mask |= static_cast<uint16_t>(1u << ch);
    }
    if (mask == 0) mask = 1;
    int volume = Get(h, "volume", rules::MaxVolume);
    if (volume < rules::MinVolume || volume > rules::MaxVolume) throw std::invalid_argument(rules::VolumeRule);
    uint16_t period = Get<uint16_t>(h, "period", assets.named(name).period);
    if (period < rules::MinPeriod) throw std::invalid_argument(rules::PeriodRule);
    movie.sound(n, static_cast<uint16_t>(volume), period, mask);
}

// An animation starting in scene `number` of `total`: one face per scene.
void Sprite(const json &d, const Assets &assets, int number, long total, MovieWriter &movie)
{
    std::string setName = Required(d, "faceSet");
    uint16_t set = assets.number(setName, Asset::FaceSet, "face set");
    int faceCount = assets.named(setName).faceCount;
    int16_t ox = 0, oy = 0;
    if (d.contains("origin")) ox = Integer<int16_t>(d["origin"].at(0)), oy = Integer<int16_t>(d["origin"].at(1));
    int layer = Get(d, "layer", 0);
    if (layer < 0 || layer > 15) throw std::invalid_argument("sprite \"layer\" is 0 (top) to 15");
    struct Place {
        int face, x, y;
    };
    auto checkFits = [&](long frameCount) {
        if (number + frameCount - 1 > total)
            throw std::invalid_argument("sprite animation of " + std::to_string(frameCount) +
                                        " frames runs past the last scene (" + std::to_string(total) + ")");
    };
    std::vector<Place> frames;
    if (d.contains("frames")) {
        for (const json &f : d["frames"]) frames.push_back({Get(f, "face", 1), Get(f, "x", 0), Get(f, "y", 0)});
    } else {
        std::vector<int> faces = IntegerList(d, "faces", {1});
        if (faces.empty()) throw std::invalid_argument("sprite \"faces\" is empty");
        int count = Get(d, "count", static_cast<int>(faces.size()));
        std::vector<int> move = IntegerList(d, "move", {0, 0});
        if (move.size() != 2) throw std::invalid_argument("sprite \"move\" is [dx, dy]");
        checkFits(count);  // before making them: a huge count would exhaust memory first
        // In 64 bits: a large step times the frame number overflows int.
        for (int k = 0; k < count; ++k)
            frames.push_back({faces[k % faces.size()], static_cast<int>(int64_t{move[0]} * k),
                              static_cast<int>(int64_t{move[1]} * k)});
    }
    checkFits(static_cast<long>(frames.size()));
    movie.faceSet(set, ox, oy);
    for (auto &f : frames) {
        if (f.face < 1 || f.face > faceCount)
            throw std::invalid_argument("face " + std::to_string(f.face) + " is not in \"" + setName +
                                        "\" (faces 1 to " + std::to_string(faceCount) + ")");
        movie.sprite(static_cast<uint16_t>(f.face), static_cast<int16_t>(f.x), static_cast<int16_t>(f.y),
                     static_cast<uint16_t>(layer));
    }
}

// The scene the entry starts with carries everything it says; the duration it gives (or the
// last one given) is returned, for the movie's length.
long Scene(const json &s, size_t index, int number, long total, long lastTicks, const Assets &assets,
           MovieWriter &movie)
{
    movie.scene(static_cast<uint16_t>(number));
    if (s.contains("ticks") || s.contains("seconds")) {
        long t = s.contains("ticks") ? Integer<long>(s["ticks"]) : std::lround(s["seconds"].get<double>() * 50.0);
        if (t < rules::MinTicks || t > rules::MaxTicks) throw std::invalid_argument(rules::TicksRule);
        movie.duration(static_cast<uint16_t>(t));
        lastTicks = t;
    }
    if (s.contains("background")) {
        if (s["background"].is_null()) movie.background(0xFFFF);
        else movie.background(assets.number(s["background"].get<std::string>(), Asset::Background, "background"));
    }
    if (s.contains("palette")) {
        auto filled = assets.scenePalettes.find(index);
        movie.palette(filled != assets.scenePalettes.end() ? filled->second : ScenePalette(s["palette"], assets));
    }
    if (s.contains("cycles")) movie.cycles(Cycles(s["cycles"]));
    if (s.contains("scroll")) Scroll(s["scroll"], movie);
    if (s.contains("sounds"))
        for (const json &h : s["sounds"]) Sound(h, assets, movie);
    if (s.contains("sprites"))
        for (const json &d : s["sprites"]) Sprite(d, assets, number, total, movie);
    return lastTicks;
}

}  // namespace

SceneLabels::SceneLabels(const json &doc)
{
    if (!doc.contains("scenes") || !doc["scenes"].is_array()) return;
    long next = 1;
    for (const json &entry : doc["scenes"]) {
        numbers_.push_back(next);
        const json *repeat = entry.is_object() && entry.contains("repeat") ? &entry["repeat"] : nullptr;
        next += repeat && repeat->is_number_integer() ? std::max<long>(1, repeat->get<long>()) : 1;
    }
}

std::string SceneLabels::operator()(const std::string &where) const
{
    if (!where.starts_with("scenes[")) return where;
    size_t index = std::strtoul(where.c_str() + 7, nullptr, 10);
    if (index >= numbers_.size()) return where;
    return where + " (scene " + std::to_string(numbers_[index]) + ")";
}

// An entry with "repeat": N is its scene followed by N - 1 scenes that carry nothing and so
// continue it (same background and duration, scrolling and cycling go on).
SceneTotals WriteScenes(const Script &script, const json &doc, const Assets &assets, const SceneLabels &label,
                        MovieWriter &movie)
{
    if (!doc.contains("scenes") || !doc["scenes"].is_array() || doc["scenes"].empty())
        script.fail("", "the script needs a non-empty \"scenes\" list");
    const json &scenes = doc["scenes"];
    std::vector<int> first(scenes.size());
    std::vector<int> repeats(scenes.size());
    long total = 0;
    for (size_t i = 0; i < scenes.size(); ++i) {
        first[i] = static_cast<int>(total + 1);
        std::string where = label("scenes[" + std::to_string(i) + "]");
        repeats[i] = script.at(where, [&] { return Get(scenes[i], "repeat", 1); });
        if (repeats[i] < 1) script.fail(where, "\"repeat\" must be 1 or more");
        total += repeats[i];
    }
    if (total > 65535) script.fail("scenes", "more than 65535 scenes");
    movie.scenes(static_cast<uint16_t>(total));

    long ticks = 0, lastTicks = 0;
    for (size_t i = 0; i < scenes.size(); ++i) {
        lastTicks = script.at(label("scenes[" + std::to_string(i) + "]"),
                              [&] { return Scene(scenes[i], i, first[i], total, lastTicks, assets, movie); });
        ticks += lastTicks * repeats[i];
    }
    if (ticks == 0)
        script.fail(label("scenes[0]"), "the movie has no length: give the first scene \"seconds\" or \"ticks\"");
    // Later scenes keep the last duration given, so without one the first would last 0 ticks.
    if (!scenes[0].contains("ticks") && !scenes[0].contains("seconds"))
        script.fail(label("scenes[0]"), "the first scene needs \"seconds\" or \"ticks\"");
    return {total, ticks};
}

}  // namespace qfauthor::make
