// make's assets: the script's pictures, face sets and sounds read and encoded, then put in the stream.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include "authoring/script/make_internal.hpp"
#include "authoring/script/script_rules.hpp"
#include "media/png.hpp"
#include "media/quantise.hpp"
#include "media/sound_file.hpp"
#include "quillframer/host_api.h"

namespace qfauthor::make {

namespace {

int PlanesFor(int maxIndex)
{
    int planes = 1;
    while ((1 << planes) <= maxIndex) ++planes;
    return planes;
}

std::string AmigaFileName(const std::string &name)
{
    if (name.empty() || name.size() > 31 || name.find_first_of(":/") != std::string::npos || name == "." ||
        name == "..")
        throw std::invalid_argument("Amiga file name \"" + name +
                                    "\" must be 1 to 31 characters without : or /, not . or ..");
    return name;
}

IndexedImage ToImage(const qfmedia::IndexedPicture &p) { return {p.width, p.height, p.indices}; }

// A picture drawing with colour numbers of 32 and above would show colours only cycling fills:
// its colours are numbered from 0 when they are few enough. Returns how many it uses when they
// are more than 32 and must be reduced, else 0.
long FitPalette(qfmedia::IndexedPicture &pic, const std::string &png, const MakeOptions &options)
{
    std::array<long, 256> uses{};
    for (uint8_t v : pic.indices) ++uses[v];
    const bool trueColour = !pic.rgb.empty();
    if (!trueColour && std::all_of(uses.begin() + 32, uses.end(), [](long n) { return n == 0; })) return 0;
    const long count = trueColour ? pic.colours : std::count_if(uses.begin(), uses.end(), [](long n) { return n > 0; });
    if (count > 32) {
        if (options.noQuantise)
            throw std::invalid_argument(
                png + " uses " + std::to_string(count) +
                " colours; a scene's palette holds 32 (reduce them, or leave out --no-quantise)");
        return count;
    }
    std::array<uint8_t, 256> number{};
    std::vector<std::array<uint8_t, 3>> palette;
    for (size_t v = 0; v < 256; ++v)
        if (uses[v]) {
            number[v] = static_cast<uint8_t>(palette.size());
            palette.push_back(v < pic.palette.size() ? pic.palette[v] : std::array<uint8_t, 3>{});
        }
    for (uint8_t &v : pic.indices) v = number[v];
    pic.palette = std::move(palette);
    return 0;
}

void LoadBackground(const Script &script, const json &b, LoadedAsset &a, const MakeOptions &options,
                    std::vector<std::string> &warnings)
{
    const std::string png = Required(b, "png");
    qfmedia::IndexedPicture pic = qfmedia::ReadIndexedPng(script.resolve(png));
    const long count = FitPalette(pic, png, options);
    a.ilbm.compression = Get(b, "compress", true) ? Compression::ByteRun1 : Compression::None;
    a.ilbm.padOddChunks = false;  // the picture reader takes chunk lengths as written
    if (count > 0) {
        a.ilbm.planeCount = Get(b, "planes", 5);
        if (a.ilbm.planeCount < 5 || a.ilbm.planeCount > 8)
            throw std::invalid_argument("\"planes\" must be 5 to 8 for a picture reduced to 32 colours");
        a.original = std::move(pic);
        a.originalColours = count;
        a.png = png;
        a.reducedWarning = warnings.size();
        warnings.push_back(ReduceBackground(a, 32, options));
        return;
    }
    int maxIndex = 0;
    for (uint8_t v : pic.indices) maxIndex = std::max<int>(maxIndex, v);
    int planes = Get(b, "planes", PlanesFor(std::max<int>(maxIndex, static_cast<int>(pic.palette.size()) - 1)));
    if (planes < 1 || planes > 8) throw std::invalid_argument("\"planes\" must be 1 to 8");
    if (maxIndex >= (1 << planes))
        throw std::invalid_argument("colour index " + std::to_string(maxIndex) + " does not fit " +
                                    std::to_string(planes) + " planes");
    for (auto &c : pic.palette) a.palette.push_back({c[0], c[1], c[2]});
    // A scene borrows a picture's colours only when there are exactly 32 of them.
    if (a.palette.size() < 32) a.palette.resize(32);
    a.ownColours = pic.palette.size();
    a.ilbm.planeCount = planes;
    a.image = ToImage(pic);
    a.bytes = WriteIlbm(a.image, a.palette, a.ilbm);
}

// Faces taking the scene's colours keep their PNG's numbers only where those are the scene's: the
// see-through entry a paint program chose becomes 0, and numbers past 31 are renumbered by colour.
void SceneColourNumbers(qfmedia::IndexedPicture &pic, const std::string &png)
{
    const int t = pic.transparentIndex;
    if (t > 0 && static_cast<size_t>(t) < pic.palette.size()) {
        for (uint8_t &v : pic.indices) v = v == t ? 0 : v == 0 ? static_cast<uint8_t>(t) : v;
        std::swap(pic.palette[0], pic.palette[static_cast<size_t>(t)]);
        pic.transparentIndex = 0;
    }
    if (std::all_of(pic.indices.begin(), pic.indices.end(), [](uint8_t v) { return v < 32; })) return;
    std::array<int, 256> number;
    number.fill(-1);
    number[0] = 0;
    std::vector<std::array<uint8_t, 3>> palette{pic.palette.empty() ? std::array<uint8_t, 3>{} : pic.palette[0]};
    for (uint8_t &v : pic.indices) {
        if (number[v] < 0) {
            number[v] = static_cast<int>(palette.size());
            palette.push_back(v < pic.palette.size() ? pic.palette[v] : std::array<uint8_t, 3>{});
        }
        v = static_cast<uint8_t>(std::min(number[v], 255));
    }
    if (palette.size() > 32)
        throw std::invalid_argument(png + " uses " + std::to_string(palette.size() - 1) +
                                    " colours besides transparency; a face has 31");
    pic.palette = std::move(palette);
}

void LoadFaceSet(const Script &script, const json &f, LoadedAsset &a)
{
    const json &faces = f.at("faces");
    if (!faces.is_array() || faces.empty()) throw std::invalid_argument("\"faces\" must list at least one PNG");
    std::string colours = Get<std::string>(f, "colours", "scene");
    if (colours != "scene" && colours != "numbers")
        throw std::invalid_argument("\"colours\" is \"scene\" or \"numbers\"");
    a.keepNumbers = colours == "numbers";
    std::vector<FaceEntry> &entries = a.faces;
    std::vector<Color> &palette = a.palette;
    for (const json &face : faces) {
        std::string png = face.is_string() ? face.get<std::string>() : Required(face, "png");
        qfmedia::IndexedPicture pic = qfmedia::ReadIndexedPng(script.resolve(png));
        if (!pic.rgb.empty())
            throw std::invalid_argument(png + " has " + std::to_string(pic.colours) +
                                        " colours; faces have 31 and transparency (reduce them, e.g. `pngquant "
                                        "--force --output " +
                                        png + " 32 " + png + "`)");
        if (!a.keepNumbers) SceneColourNumbers(pic, png);
        for (uint8_t v : pic.indices)
            if (v > 31)
                throw std::invalid_argument(png + " uses colour index " + std::to_string(v) +
                                            "; faces have 32 colours (0 is transparent)");
        FaceEntry entry;
        entry.image = ToImage(pic);
        if (face.is_object() && face.contains("offset")) {
            entry.offsetX = Integer<int16_t>(face["offset"].at(0));
            entry.offsetY = Integer<int16_t>(face["offset"].at(1));
        }
        std::vector<Color> &own = a.facePalettes.emplace_back();
        for (auto &c : pic.palette) own.push_back({c[0], c[1], c[2]});
        if (palette.empty()) palette.assign(own.begin(), own.begin() + std::min<size_t>(32, own.size()));
        entries.push_back(std::move(entry));
    }
    a.faceCount = static_cast<int>(entries.size());
    a.bytes = WriteFaceSet(entries, palette);
}

void LoadSound(const Script &script, const json &s, LoadedAsset &a)
{
    qfmedia::SoundFile file = qfmedia::ReadSoundFile(script.resolve(Required(s, "file")));
    if (s.contains("period")) a.period = Integer<uint16_t>(s["period"]);
    else a.period = PeriodForRate(Get(s, "rate", std::min(file.rate, static_cast<int>(QF_AUDIO_SAMPLE_RATE))));
    if (a.period < rules::MinPeriod) throw std::invalid_argument(rules::PeriodRule);
    // Without resampling the samples keep the file's own rate, whatever the period plays them at.
    uint32_t rate = RateForPeriod(a.period);
    if (!Get(s, "resample", true)) rate = static_cast<uint32_t>(std::clamp(file.rate, 1, 65535));
    std::vector<int8_t> samples = qfmedia::ToAmigaSamples(file, rate, Get(s, "gain", 1.0));
    SvxOptions options;
    options.samplesPerSecond = static_cast<uint16_t>(rate);
    a.bytes = Write8svx(samples, options);
}

// One list of the script's assets: the keys every asset has around the ones of its kind.
void LoadList(const Script &script, const json &doc, const char *key, Asset kind, bool embedDefault,
              const std::function<void(const json &, LoadedAsset &)> &load, std::vector<LoadedAsset> &assets)
{
    const json empty = json::array();
    const json &list = doc.contains(key) ? doc[key] : empty;
    for (size_t i = 0; i < list.size(); ++i) {
        script.at(std::string(key) + "[" + std::to_string(i) + "]", [&] {
            const json &entry = list[i];
            LoadedAsset a;
            a.name = Required(entry, "name");
            a.kind = kind;
            a.embed = Get(entry, "embed", embedDefault);
            load(entry, a);
            a.fileName = AmigaFileName(Get(entry, "amigaName", a.name));
            assets.push_back(std::move(a));
            return 0;
        });
    }
}

}  // namespace

std::string ReduceBackground(LoadedAsset &a, int colours, const MakeOptions &options)
{
    qfmedia::Reduced reduced = qfmedia::ReduceColours(a.original, colours, options.dither);
    a.palette.clear();
    for (auto &c : reduced.picture.palette) a.palette.push_back({c[0], c[1], c[2]});
    a.ownColours = a.palette.size();
    a.palette.resize(32);  // the rest is free for faces
    a.image = ToImage(reduced.picture);
    a.bytes = WriteIlbm(a.image, a.palette, a.ilbm);
    char line[200];
    std::snprintf(line, sizeof line, "%s: %ld colours reduced to %zu%s (mean square error %.1f)", a.png.c_str(),
                  a.originalColours, a.ownColours, options.dither ? ", dithered" : "", reduced.meanError);
    return line;
}

Assets LoadAssets(const Script &script, const json &doc, bool embedDefault, const MakeOptions &options)
{
    Assets assets;
    auto with = [&](auto load) {
        return [&script, load](const json &entry, LoadedAsset &a) { load(script, entry, a); };
    };
    LoadList(
        script, doc, "backgrounds", Asset::Background, embedDefault,
        [&](const json &entry, LoadedAsset &a) { LoadBackground(script, entry, a, options, assets.warnings); },
        assets.loaded);
    LoadList(script, doc, "faceSets", Asset::FaceSet, embedDefault, with(LoadFaceSet), assets.loaded);
    LoadList(script, doc, "sounds", Asset::Sound, embedDefault, with(LoadSound), assets.loaded);
    return assets;
}

// Referenced files are loaded before the "y" that switches the rest of the stream to embedded
// data, so each kind's list order is: its referenced assets, then its embedded ones.
void StreamAssets(const Script &script, Assets &assets, References &references, MovieWriter &movie)
{
    std::string folder = references.directory;
    while (!folder.empty() && folder.back() == '/') folder.pop_back();
    for (bool embedPass : {false, true}) {
        bool switched = false;
        for (const LoadedAsset &a : assets.loaded) {
            if (a.embed != embedPass) continue;
            auto kind = static_cast<int>(a.kind);
            if (!assets.numbers.emplace(a.name, std::make_pair(a.kind, assets.counts[kind]++)).second)
                script.fail("", "two assets are named \"" + a.name + "\"");
            if (embedPass) {
                if (!switched) movie.embedded();
                switched = true;
                // The name field is not read for embedded files; it keeps the script's name for info.
                movie.load(a.kind, a.bytes, "", a.fileName);
            } else {
                movie.reference(a.kind, references.amigaDir, a.fileName);
                if (references.onDisk)
                    references.diskFiles.emplace_back(folder.empty() ? a.fileName : folder + "/" + a.fileName, a.bytes);
                else
                    references.volumeFiles.emplace_back(
                        ReferencedAssetPath(references.volumeDir, references.amigaDir, a.fileName), a.bytes);
                ++references.count;
            }
        }
    }
}

uint16_t Assets::number(const std::string &name, Asset kind, const char *what) const
{
    auto it = numbers.find(name);
    if (it == numbers.end() || it->second.first != kind)
        throw std::invalid_argument(std::string("no ") + what + " named \"" + name + "\"");
    return it->second.second;
}

const LoadedAsset &Assets::named(const std::string &name) const
{
    for (const LoadedAsset &a : loaded)
        if (a.name == name) return a;
    throw std::invalid_argument("no asset named \"" + name + "\"");
}

}  // namespace qfauthor::make
