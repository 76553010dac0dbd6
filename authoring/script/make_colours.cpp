// make's face colours: faces draw through the palette of the scene showing them, so a face whose
// PNG colours are not that palette's is given the scene's numbers for them.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <set>
#include <string>

#include "authoring/script/make_internal.hpp"

namespace qfauthor::make {

namespace {

// A palette that scenes show: a background's colour map or a scene's own "palette". Entries the
// picture or the script left unset are free for faces, unless colour cycling runs through them.
struct Source {
    LoadedAsset *background = nullptr;
    size_t scene = 0;                    // scenes[scene], when no background
    std::array<uint16_t, 32> colours{};  // as Amiga colours, for comparing
    std::array<Color, 32> played{};      // a picture's colour map plays at its full depth
    std::array<bool, 32> free{};
    bool filled = false;  // faces took entries
};

Color Played(uint16_t amiga)
{
    // The plug-in widens a scene palette's 4 bits by a shift, so #F00 plays as 240, 0, 0.
    auto nibble = [&](int shift) { return static_cast<uint8_t>(((amiga >> shift) & 15) << 4); };
    return {nibble(8), nibble(4), nibble(0)};
}

double Distance(const Color &a, const Color &b)
{
    auto d = [](int x, int y) { return double(x - y) * double(x - y); };
    return std::sqrt(d(a.red, b.red) + d(a.green, b.green) + d(a.blue, b.blue));
}

uint16_t Amiga(const Color &c) { return AmigaColor(c.red, c.green, c.blue); }

// The palettes in effect, scene by scene, as the scene commands set them; and the face sets each
// scene shows. Errors are left for the scene writer to report in its words.
struct Showing {
    std::vector<Source> sources;
    std::map<std::string, std::vector<size_t>> setSources;  // face set -> sources showing it
    std::map<std::string, long> firstScene;                 // face set -> the first scene number showing it
    std::array<bool, 32> cycled{};                          // entries some scene cycles
};

// A picture's colour map as a source: the entries it leaves unset and no cycle turns are free.
void Refill(Source &s, const std::array<bool, 32> &cycled)
{
    const LoadedAsset &b = *s.background;
    for (size_t c = 0; c < 32; ++c) {
        s.colours[c] = Amiga(b.palette[c]);
        s.played[c] = b.palette[c];
        s.free[c] = c >= b.ownColours && !cycled[c];
    }
    for (uint8_t v : b.image.pixels)
        if (v < 32) s.free[v] = false;
}

Showing FindShowing(const json &doc, Assets &assets)
{
    Showing showing;
    if (!doc.contains("scenes") || !doc["scenes"].is_array()) return showing;
    const json &scenes = doc["scenes"];
    std::array<bool, 32> &cycled = showing.cycled;
    std::map<const LoadedAsset *, size_t> backgroundSource;
    auto background = [&](const json &name) -> LoadedAsset * {
        for (LoadedAsset &a : assets.loaded)
            if (a.kind == Asset::Background && a.name == name.get<std::string>()) return &a;
        return nullptr;
    };
    auto sourceFor = [&](LoadedAsset &b) {
        auto [it, added] = backgroundSource.emplace(&b, showing.sources.size());
        if (added) {
            Source s;
            s.background = &b;
            showing.sources.push_back(s);
        }
        return it->second;
    };
    struct Shown {
        long from, to;
        std::string set;
    };
    std::vector<Shown> shown;
    std::vector<std::pair<long, size_t>> changes;  // scene number -> the source it loads
    long number = 1;
    for (size_t i = 0; i < scenes.size(); ++i) {
        const json &s = scenes[i];
        long repeat = 1;
        try {
            repeat = std::max(1, Get(s, "repeat", 1));
            std::optional<size_t> source;
            if (s.contains("background") && s["background"].is_string())
                if (LoadedAsset *b = background(s["background"])) source = sourceFor(*b);
            if (s.contains("palette")) {
                const json &p = s["palette"];
                if (p.is_string()) {
                    if (LoadedAsset *b = background(p)) source = sourceFor(*b);
                } else {
                    Source own;
                    own.scene = i;
                    own.colours = ScenePalette(p, assets);
                    for (size_t c = 0; c < 32; ++c) own.played[c] = Played(own.colours[c]);
                    for (size_t c = p.size(); c < 32; ++c) own.free[c] = true;
                    source = showing.sources.size();
                    showing.sources.push_back(own);
                }
            }
            if (source) changes.emplace_back(number, *source);
            if (s.contains("cycles") && s["cycles"].is_array())
                for (const json &c : s["cycles"])
                    if (c.is_object() && !Get(c, "stop", false))
                        for (int k = Get(c, "low", 0); k <= std::min(31, Get(c, "high", 0)); ++k)
                            cycled[static_cast<size_t>(k)] = true;
            if (s.contains("sprites"))
                for (const json &d : s["sprites"]) {
                    long frames = d.contains("frames")
                                      ? static_cast<long>(d["frames"].size())
                                      : Get(d, "count", static_cast<int>(d.value("faces", json::array({1})).size()));
                    shown.push_back({number, number + frames - 1, Required(d, "faceSet")});
                }
        } catch (const std::exception &) {
            // the scene writer refuses it
        }
        number += repeat;
    }
    for (Source &s : showing.sources)
        if (s.background) Refill(s, cycled);
        else
            for (size_t c = 0; c < 32; ++c) s.free[c] = s.free[c] && !cycled[c];
    // Scene numbers rise through the changes, so the source in effect at n is the last change at or before it.
    for (const Shown &w : shown) {
        std::vector<size_t> &list = showing.setSources[w.set];
        auto at = [&](long n) -> std::optional<size_t> {
            std::optional<size_t> in;
            for (auto &[from, source] : changes)
                if (from <= n) in = source;
            return in;
        };
        std::optional<size_t> first = at(w.from);
        if (first) list.push_back(*first);
        auto [shownFirst, added] = showing.firstScene.emplace(w.set, w.from);
        if (!added) shownFirst->second = std::min(shownFirst->second, w.from);
        for (auto &[from, source] : changes)
            if (from > w.from && from <= w.to) list.push_back(source);
    }
    for (auto &[set, list] : showing.setSources) {
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
    }
    return showing;
}

// The face set's colours as numbers of the given palettes; returns its warning, or "" when nothing moved.
std::string MatchSet(const Script &script, LoadedAsset &set, std::vector<Source *> palettes, long scene, bool strict)
{
    auto colourOf = [&](size_t face, uint8_t v) {
        const auto &own = set.facePalettes[face];
        return v < own.size() ? own[v] : Color{};
    };
    // Drawn with one of the palettes loaded: the numbers are meant, and a later palette recolours on purpose.
    auto agreesWith = [&](const Source &p) {
        for (size_t f = 0; f < set.faces.size(); ++f)
            for (uint8_t v : set.faces[f].image.pixels)
                if (v != 0 && Amiga(colourOf(f, v)) != p.colours[v]) return false;
        return true;
    };
    bool agrees = std::any_of(palettes.begin(), palettes.end(), [&](const Source *p) { return agreesWith(*p); });
    if (agrees) return "";

    // Each colour the faces use, most pixels first, takes its number.
    struct Need {
        Color colour;
        long pixels = 0;
        size_t first = 0;
        uint8_t number = 0;
        double distance = 0;
    };
    std::vector<Need> needs;
    auto key = [](const Color &c) { return (c.red << 16) | (c.green << 8) | c.blue; };
    std::map<int, size_t> index;
    for (size_t f = 0; f < set.faces.size(); ++f)
        for (uint8_t v : set.faces[f].image.pixels) {
            if (v == 0) continue;
            Color c = colourOf(f, v);
            auto [it, added] = index.emplace(key(c), needs.size());
            if (added) needs.push_back({c, 0, needs.size()});
            ++needs[it->second].pixels;
        }
    std::vector<Need *> order;
    for (Need &n : needs) order.push_back(&n);
    std::stable_sort(order.begin(), order.end(), [](const Need *a, const Need *b) { return a->pixels > b->pixels; });
    int taken = 0, equal = 0, lacking = 0;
    long moved = 0;
    double farthest = 0;
    for (Need *n : order) {
        const uint16_t want = Amiga(n->colour);
        auto everywhere = [&](auto test) {
            return std::all_of(palettes.begin(), palettes.end(), [&](const Source *p) { return test(*p); });
        };
        std::optional<uint8_t> number;
        for (uint8_t e = 1; e < 32 && !number; ++e)
            if (everywhere([&](const Source &p) { return p.colours[e] == want; })) number = e;
        if (number) {
            ++equal;
        } else {
            for (uint8_t e = 1; e < 32 && !number; ++e)
                if (everywhere([&](const Source &p) { return p.free[e]; })) number = e;
            if (number) {
                ++taken;
                for (Source *p : palettes) {
                    p->free[*number] = false;
                    p->filled = true;
                    p->colours[*number] = want;
                    p->played[*number] = p->background ? n->colour : Played(want);
                    if (p->background) p->background->palette[*number] = n->colour;
                }
            }
        }
        if (!number) {
            double best = 1e9;
            for (uint8_t e = 1; e < 32; ++e) {
                double d = 0;
                for (const Source *p : palettes) d = std::max(d, Distance(n->colour, p->played[e]));
                if (d < best) best = d, number = e;
            }
            n->distance = best;
            ++lacking;
            moved += n->pixels;
            farthest = std::max(farthest, best);
        }
        n->number = *number;
    }
    if (strict && moved > 0)
        script.fail("face set \"" + set.name + "\"",
                    std::to_string(moved) +
                        " pixels have no exact colour in the palette of the scenes showing it "
                        "(the nearest is up to " +
                        std::to_string(std::lround(farthest)) + " apart)");

    for (size_t f = 0; f < set.faces.size(); ++f)
        for (uint8_t &v : set.faces[f].image.pixels)
            if (v != 0) v = needs[index.at(key(colourOf(f, v)))].number;
    // The stored palette is what the faces play in, so extract writes them back in those colours.
    set.palette.clear();
    set.palette.assign(palettes.front()->played.begin(), palettes.front()->played.end());
    set.bytes = WriteFaceSet(set.faces, set.palette);

    char line[400];
    std::snprintf(line, sizeof line,
                  "face set \"%s\": its colours are not its scenes' palette: %d took free entries, %d equal "
                  "entries, %ld pixels moved to the nearest colour (at most %ld apart in RGB)",
                  set.name.c_str(), taken, equal, moved, std::lround(farthest));
    std::string warning = line;
    // Colours that found neither an equal nor a free entry are what the palette lacks.
    if (lacking > 0)
        warning += "; scene " + std::to_string(scene) + " needs " + std::to_string(lacking) + " colour" +
                   (lacking == 1 ? "" : "s") + " more than its palette's 32";
    return warning;
}

}  // namespace

std::vector<std::string> MatchFaceColours(const Script &script, const json &doc, Assets &assets,
                                          const MakeOptions &options)
{
    std::vector<std::string> warnings;
    Showing showing = FindShowing(doc, assets);
    // A reduced picture leaves as many entries free as its faces have colours, so they play as drawn.
    for (size_t source = 0; source < showing.sources.size(); ++source) {
        Source &s = showing.sources[source];
        if (!s.background || s.background->originalColours == 0) continue;
        std::set<uint16_t> faceColours;
        for (const LoadedAsset &a : assets.loaded) {
            auto it = showing.setSources.find(a.name);
            if (a.kind != Asset::FaceSet || a.keepNumbers || it == showing.setSources.end() ||
                std::find(it->second.begin(), it->second.end(), source) == it->second.end())
                continue;
            for (size_t f = 0; f < a.faces.size(); ++f)
                for (uint8_t v : a.faces[f].image.pixels)
                    if (v != 0) faceColours.insert(v < a.facePalettes[f].size() ? Amiga(a.facePalettes[f][v]) : 0);
        }
        if (faceColours.empty()) continue;
        const int room = std::max(1, 32 - static_cast<int>(faceColours.size()));
        assets.warnings[s.background->reducedWarning] = ReduceBackground(*s.background, room, options);
        Refill(s, showing.cycled);
    }
    for (LoadedAsset &a : assets.loaded) {
        if (a.kind != Asset::FaceSet || a.keepNumbers) continue;
        auto it = showing.setSources.find(a.name);
        if (it == showing.setSources.end() || it->second.empty()) continue;
        std::vector<Source *> palettes;
        for (size_t s : it->second) palettes.push_back(&showing.sources[s]);
        std::string warning = MatchSet(script, a, palettes, showing.firstScene[a.name], options.strictColours);
        if (!warning.empty()) warnings.push_back(warning);
    }
    // Pictures and scene palettes whose free entries faces took are written with them.
    for (const Source &s : showing.sources) {
        if (!s.filled) continue;
        if (s.background)
            s.background->bytes = WriteIlbm(s.background->image, s.background->palette, s.background->ilbm);
        else assets.scenePalettes[s.scene] = s.colours;
    }
    return warnings;
}

}  // namespace qfauthor::make
