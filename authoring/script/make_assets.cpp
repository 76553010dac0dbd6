// make's assets: the script's pictures, face sets and sounds read and encoded, then put in the stream.
#include <algorithm>
#include <string>

#include "authoring/script/make_internal.hpp"
#include "authoring/script/script_rules.hpp"
#include "media/png.hpp"
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

void LoadBackground(const Script &script, const json &b, LoadedAsset &a)
{
    qfmedia::IndexedPicture pic = qfmedia::ReadIndexedPng(script.resolve(Required(b, "png")));
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
    IlbmOptions options;
    options.planeCount = planes;
    options.compression = Get(b, "compress", true) ? Compression::ByteRun1 : Compression::None;
    options.padOddChunks = false;  // the picture reader takes chunk lengths as written
    a.bytes = WriteIlbm(ToImage(pic), a.palette, options);
}

void LoadFaceSet(const Script &script, const json &f, LoadedAsset &a)
{
    const json &faces = f.at("faces");
    if (!faces.is_array() || faces.empty()) throw std::invalid_argument("\"faces\" must list at least one PNG");
    std::vector<FaceEntry> entries;
    std::vector<Color> palette;
    for (const json &face : faces) {
        std::string png = face.is_string() ? face.get<std::string>() : Required(face, "png");
        qfmedia::IndexedPicture pic = qfmedia::ReadIndexedPng(script.resolve(png));
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
        if (palette.empty())
            for (size_t c = 0; c < std::min<size_t>(32, pic.palette.size()); ++c)
                palette.push_back({pic.palette[c][0], pic.palette[c][1], pic.palette[c][2]});
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
              void (*load)(const Script &, const json &, LoadedAsset &), std::vector<LoadedAsset> &assets)
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
            load(script, entry, a);
            a.fileName = AmigaFileName(Get(entry, "amigaName", a.name));
            assets.push_back(std::move(a));
            return 0;
        });
    }
}

}  // namespace

Assets LoadAssets(const Script &script, const json &doc, bool embedDefault)
{
    Assets assets;
    LoadList(script, doc, "backgrounds", Asset::Background, embedDefault, LoadBackground, assets.loaded);
    LoadList(script, doc, "faceSets", Asset::FaceSet, embedDefault, LoadFaceSet, assets.loaded);
    LoadList(script, doc, "sounds", Asset::Sound, embedDefault, LoadSound, assets.loaded);
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
