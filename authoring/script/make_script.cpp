#include "authoring/script/make_script.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <type_traits>

#include <sys/stat.h>

#include "authoring/adf_writer.h"
#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"
#include "authoring/script/script_rules.hpp"
#include "media/sound_file.hpp"
#include "media/png.hpp"
#include "quillframer/host_api.h"
#include "qfutil/output.hpp"
#include "qfutil/printable.hpp"
#include "qfutil/suggest.hpp"

namespace qfauthor {

namespace {

using nlohmann::json;
using qfauthor::Asset;
using qfauthor::Bytes;

struct LoadedAsset {
    std::string name;
    Asset kind = Asset::Background;
    bool embed = true;
    std::string fileName;  // Amiga file name when referenced
    Bytes bytes;
    uint16_t period = 0;   // sounds: default period
    int faceCount = 0;     // face sets
    std::vector<qfauthor::Color> palette;  // backgrounds: for "palette": "<name>"
};

// What make reads must be a plain file: a FIFO or a device would wait or never end.
void RequireRegularFile(const std::filesystem::path &p)
{
    struct stat info {};
    if (::stat(p.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
        throw std::invalid_argument("cannot read \"" + p.string() + "\": not a regular file");
}

class Script {
public:
    Script(std::filesystem::path path, qfutil::Outputs &outputs) : path_(std::move(path)), outputs_(outputs) {}

    [[noreturn]] void fail(const std::string &where, const std::string &what) const
    {
        throw std::runtime_error(path_.filename().string() + ": " + (where.empty() ? "" : where + ": ") + what);
    }

    std::filesystem::path resolve(const std::string &file) const
    {
        std::filesystem::path p(file);
        p = p.is_absolute() ? p : path_.parent_path() / p;
        RequireRegularFile(p);  // a FIFO would hang the read
        outputs_.addInput(p);  // a picture or sound the movie is made of is never written over
        return p;
    }

    // Runs `body`, turning any error inside into "script: where: message".
    template <typename F>
    auto at(const std::string &where, F body) const
    {
        try {
            return body();
        } catch (const json::exception &e) {
            fail(where, CleanJsonError(e.what()));
        } catch (const std::invalid_argument &e) {
            fail(where, e.what());
        } catch (const std::out_of_range &e) {
            fail(where, e.what());
        }
    }

    static std::string CleanJsonError(std::string text)
    {
        // "[json.exception.type_error.302] type must be number, but is string" -> the part after "] "
        auto close = text.find("] ");
        return close == std::string::npos ? text : text.substr(close + 2);
    }

private:
    std::filesystem::path path_;
    qfutil::Outputs &outputs_;
};

// The JSON library turns a number into an integer type with a plain cast, which is undefined for
// a value out of the type's range (1e12 as an int): such a number is refused instead.
template <typename T>
T Integer(const json &value)
{
    if (value.is_number_float()) {
        double v = value.get<double>();
        if (!(v >= static_cast<double>(std::numeric_limits<T>::min()) &&
              v < static_cast<double>(std::numeric_limits<T>::max()) + 1.0))
            throw std::invalid_argument("number " + value.dump() + " is out of range");
    }
    return value.get<T>();
}

std::vector<int> IntegerList(const json &object, const char *key, std::vector<int> fallback)
{
    if (!object.contains(key)) return fallback;
    const json &list = object.at(key);
    if (!list.is_array()) return list.get<std::vector<int>>();  // the library's own type error
    std::vector<int> values;
    for (const json &v : list) values.push_back(Integer<int>(v));
    return values;
}

template <typename T>
T Get(const json &object, const char *key, T fallback)
{
    if (!object.contains(key)) return fallback;
    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) return Integer<T>(object.at(key));
    return object.at(key).get<T>();
}

std::string Required(const json &object, const char *key)
{
    if (!object.contains(key)) throw std::invalid_argument(std::string("missing \"") + key + "\"");
    return object.at(key).get<std::string>();
}

uint16_t ParseColor(const json &value)
{
    if (value.is_array()) {
        if (value.size() != 3) throw std::invalid_argument("a colour array needs 3 numbers");
        auto c = [&](int i) { return static_cast<uint8_t>(std::clamp(Integer<int>(value[i]), 0, 255)); };
        return qfauthor::AmigaColor(c(0), c(1), c(2));
    }
    std::string text = value.get<std::string>();
    if (text.size() == 4 && text[0] == '#') return static_cast<uint16_t>(std::stoul(text.substr(1), nullptr, 16));
    if (text.size() == 7 && text[0] == '#') {
        unsigned long v = std::stoul(text.substr(1), nullptr, 16);
        return qfauthor::AmigaColor(static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v));
    }
    throw std::invalid_argument("colour \"" + text + "\" is not #RGB, #RRGGBB or [r, g, b]");
}

int PlanesFor(int maxIndex)
{
    int planes = 1;
    while ((1 << planes) <= maxIndex) ++planes;
    return planes;
}

std::string AmigaFileName(const std::string &name, const std::string &where)
{
    if (name.empty() || name.size() > 31 || name.find_first_of(":/") != std::string::npos || name == "." || name == "..")
        throw std::invalid_argument("Amiga file name \"" + name + "\" must be 1 to 31 characters without : or /, not . or .." +
                                    (where.empty() ? "" : " (" + where + ")"));
    return name;
}

qfauthor::IndexedImage ToImage(const qfmedia::IndexedPicture &p)
{
    return {p.width, p.height, p.indices};
}

// Every object's keys against the ones it may have, before anything is loaded: a misspelt key
// would otherwise be ignored and its default used without a word.
struct Shape {
    std::vector<std::string_view> keys;
    std::vector<std::pair<std::string_view, const Shape *>> lists;    // key: array of this shape
    std::vector<std::pair<std::string_view, const Shape *>> objects;  // key: one object of this shape
};

void CheckKeys(const Script &script, const json &object, const Shape &shape, const std::string &where,
               const std::function<std::string(const std::string &)> &scene)
{
    if (!object.is_object()) return;  // strings standing for objects are checked where they are read
    for (const auto &[key, value] : object.items()) {
        std::vector<std::string_view> known = shape.keys;
        for (const auto &l : shape.lists) known.push_back(l.first);
        for (const auto &o : shape.objects) known.push_back(o.first);
        const std::string path = (where.empty() ? "" : where + ".") + key;
        if (std::find(known.begin(), known.end(), key) == known.end()) {
            std::string message = "unknown key";
            if (auto near = qfutil::Nearest(key, known)) message += " \u2014 did you mean '" + *near + "'?";
            script.fail(scene(path), message);
        }
        for (const auto &[name, inner] : shape.lists)
            if (name == key && value.is_array())
                for (size_t i = 0; i < value.size(); ++i)
                    CheckKeys(script, value[i], *inner, path + "[" + std::to_string(i) + "]", scene);
        for (const auto &[name, inner] : shape.objects)
            if (name == key) CheckKeys(script, value, *inner, path, scene);
    }
}

void CheckScriptKeys(const Script &script, const json &doc, const std::function<std::string(const std::string &)> &label)
{
    static const Shape face{{"png", "offset"}, {}, {}};
    static const Shape background{{"name", "png", "planes", "compress", "embed", "amigaName"}, {}, {}};
    static const Shape faceSet{{"name", "embed", "amigaName"}, {{"faces", &face}}, {}};
    static const Shape sound{{"name", "file", "period", "rate", "gain", "resample", "embed", "amigaName"}, {}, {}};
    static const Shape cycle{{"low", "high", "reverse", "stop"}, {}, {}};
    static const Shape scroll{{"axis", "velocity", "acceleration", "limit"}, {}, {}};
    static const Shape start{{"sound", "channel", "channels", "volume", "period"}, {}, {}};
    static const Shape frame{{"face", "x", "y"}, {}, {}};
    static const Shape sprite{{"faceSet", "origin", "layer", "faces", "count", "move"}, {{"frames", &frame}}, {}};
    static const Shape sceneShape{{"ticks", "seconds", "repeat", "background", "palette"},
                             {{"cycles", &cycle}, {"sounds", &start}, {"sprites", &sprite}},
                             {{"scroll", &scroll}}};
    static const Shape top{{"embed", "volume", "directory", "volumeDirectory"},
                           {{"backgrounds", &background}, {"faceSets", &faceSet}, {"sounds", &sound}, {"scenes", &sceneShape}},
                           {}};
    CheckKeys(script, doc, top, "", label);
}

// A double-density FFS floppy, or a high-density one when that is too small.
Bytes DiskImage(const std::string &label, const std::string &movieName, const Bytes &movie,
                const std::vector<std::pair<std::string, Bytes>> &files)
{
    for (bool high : {false, true}) {
        AdfOptions options;
        options.fastFileSystem = true;
        options.international = true;
        options.highDensity = high;
        options.label = label;
        AdfWriter disk(options);
        try {
            disk.file(movieName, movie);
            for (const auto &[path, bytes] : files) disk.file(path, bytes);
        } catch (const std::invalid_argument &e) {
            throw std::runtime_error(std::string("cannot put it on a disk: ") + e.what());
        }
        try {
            return disk.image();
        } catch (const std::runtime_error &e) {
            if (high) throw std::runtime_error(std::string("it does not fit on a floppy: ") + e.what());
        }
    }
    return {};
}

// The script's assets, read and encoded: its backgrounds, then its face sets, then its sounds, each
// in the order given.
std::vector<LoadedAsset> LoadAssets(const Script &script, const json &doc, bool embedDefault)
{
    std::vector<LoadedAsset> assets;
    auto embedFor = [&](const json &j) { return Get(j, "embed", embedDefault); };

    const json empty = json::array();
    const json &backgrounds = doc.contains("backgrounds") ? doc["backgrounds"] : empty;
    for (size_t i = 0; i < backgrounds.size(); ++i) {
        std::string where = "backgrounds[" + std::to_string(i) + "]";
        script.at(where, [&] {
            const json &b = backgrounds[i];
            LoadedAsset a;
            a.name = Required(b, "name");
            a.kind = Asset::Background;
            a.embed = embedFor(b);
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
            qfauthor::IlbmOptions options;
            options.planeCount = planes;
            options.compression = Get(b, "compress", true) ? qfauthor::Compression::ByteRun1 : qfauthor::Compression::None;
            options.padOddChunks = false;  // the picture reader takes chunk lengths as written
            a.bytes = qfauthor::WriteIlbm(ToImage(pic), a.palette, options);
            a.fileName = AmigaFileName(Get(b, "amigaName", a.name), "");
            assets.push_back(std::move(a));
            return 0;
        });
    }

    const json &faceSets = doc.contains("faceSets") ? doc["faceSets"] : empty;
    for (size_t i = 0; i < faceSets.size(); ++i) {
        std::string where = "faceSets[" + std::to_string(i) + "]";
        script.at(where, [&] {
            const json &f = faceSets[i];
            LoadedAsset a;
            a.name = Required(f, "name");
            a.kind = Asset::FaceSet;
            a.embed = embedFor(f);
            const json &faces = f.at("faces");
            if (!faces.is_array() || faces.empty()) throw std::invalid_argument("\"faces\" must list at least one PNG");
            std::vector<qfauthor::FaceEntry> entries;
            std::vector<qfauthor::Color> palette;
            for (size_t k = 0; k < faces.size(); ++k) {
                const json &face = faces[k];
                std::string png = face.is_string() ? face.get<std::string>() : Required(face, "png");
                qfmedia::IndexedPicture pic = qfmedia::ReadIndexedPng(script.resolve(png));
                for (uint8_t v : pic.indices)
                    if (v > 31)
                        throw std::invalid_argument(png + " uses colour index " + std::to_string(v) +
                                                    "; faces have 32 colours (0 is transparent)");
                qfauthor::FaceEntry entry;
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
            a.bytes = qfauthor::WriteFaceSet(entries, palette);
            a.fileName = AmigaFileName(Get(f, "amigaName", a.name), "");
            assets.push_back(std::move(a));
            return 0;
        });
    }

    const json &sounds = doc.contains("sounds") ? doc["sounds"] : empty;
    for (size_t i = 0; i < sounds.size(); ++i) {
        std::string where = "sounds[" + std::to_string(i) + "]";
        script.at(where, [&] {
            const json &s = sounds[i];
            LoadedAsset a;
            a.name = Required(s, "name");
            a.kind = Asset::Sound;
            a.embed = embedFor(s);
            qfmedia::SoundFile file = qfmedia::ReadSoundFile(script.resolve(Required(s, "file")));
            if (s.contains("period"))
                a.period = Integer<uint16_t>(s["period"]);
            else
                a.period = qfauthor::PeriodForRate(Get(s, "rate", std::min(file.rate, static_cast<int>(QF_AUDIO_SAMPLE_RATE))));
            if (a.period < rules::MinPeriod) throw std::invalid_argument(rules::PeriodRule);
            // Without resampling the samples keep the file's own rate, whatever the period plays them at.
            uint32_t rate = qfauthor::RateForPeriod(a.period);
            if (!Get(s, "resample", true)) rate = static_cast<uint32_t>(std::clamp(file.rate, 1, 65535));
            std::vector<int8_t> samples = qfmedia::ToAmigaSamples(file, rate, Get(s, "gain", 1.0));
            qfauthor::SvxOptions options;
            options.samplesPerSecond = static_cast<uint16_t>(rate);
            a.bytes = qfauthor::Write8svx(samples, options);
            a.fileName = AmigaFileName(Get(s, "amigaName", a.name), "");
            assets.push_back(std::move(a));
            return 0;
        });
    }
    return assets;
}

}  // namespace

namespace {

MakeResult Make(const std::filesystem::path &scriptPath, const std::filesystem::path &out, qfutil::Outputs &outputs)
{
    Script script(scriptPath, outputs);
    json doc;
    {
        try {
            RequireRegularFile(scriptPath);
        } catch (const std::invalid_argument &e) {
            throw std::runtime_error(e.what());
        }
        std::ifstream in(scriptPath);
        if (!in) throw std::runtime_error("cannot read " + scriptPath.string() + ": no such file or not readable");
        try {
            doc = json::parse(in);
        } catch (const json::exception &e) {  // a number too large to hold is out_of_range, not parse_error
            script.fail("", "not valid JSON: " + Script::CleanJsonError(e.what()));
        }
    }
    if (!doc.is_object()) script.fail("", "the script must be a JSON object");

    // "scenes[i]" is the list entry (from 0, as the JSON has it); the message adds the scene number
    // (from 1, counting repeats) that the docs and the plug-in's errors use.
    std::vector<long> sceneNumbers;
    if (doc.contains("scenes") && doc["scenes"].is_array()) {
        long next = 1;
        for (const json &entry : doc["scenes"]) {
            sceneNumbers.push_back(next);
            const json *repeat = entry.is_object() && entry.contains("repeat") ? &entry["repeat"] : nullptr;
            next += repeat && repeat->is_number_integer() ? std::max<long>(1, repeat->get<long>()) : 1;
        }
    }
    auto sceneLabel = [&](const std::string &where) {
        if (!where.starts_with("scenes[")) return where;
        size_t index = std::strtoul(where.c_str() + 7, nullptr, 10);
        if (index >= sceneNumbers.size()) return where;
        return where + " (scene " + std::to_string(sceneNumbers[index]) + ")";
    };
    CheckScriptKeys(script, doc, sceneLabel);

    MakeResult result;
    bool embedDefault = true;
    std::string volume, directory;
    std::filesystem::path volumeDir;
    script.at("top level", [&] {
        embedDefault = Get(doc, "embed", true);
        volume = Get<std::string>(doc, "volume", "Work");
        directory = Get<std::string>(doc, "directory", "");
        if (volume.empty() || volume.size() > 63 || volume.find_first_of(":/") != std::string::npos)
            throw std::invalid_argument("\"volume\" must be 1 to 63 characters without : or /");
        // Below the volume, as a host maps it: "/" and "//" mean a parent on the Amiga, and ".."
        // would leave the volume's directory here.
        std::string inner = directory;
        while (!inner.empty() && inner.back() == '/') inner.pop_back();
        bool escapes = inner.find(':') != std::string::npos || (!inner.empty() && inner.front() == '/') ||
                       inner.find("//") != std::string::npos;
        for (size_t start = 0; !inner.empty() && start <= inner.size();) {
            size_t end = std::min(inner.find('/', start), inner.size());
            std::string part = inner.substr(start, end - start);
            escapes = escapes || part == "." || part == "..";
            start = end + 1;
        }
        if (escapes)
            throw std::invalid_argument("\"directory\" must be a folder below the volume (no :, no leading or double /, no . or ..)");
        std::string dir = Get<std::string>(doc, "volumeDirectory", out.stem().string() + "-volume");
        volumeDir = std::filesystem::path(dir).is_absolute() ? std::filesystem::path(dir) : out.parent_path() / dir;
        return 0;
    });
    const std::string amigaDir = volume + ":" + directory;
    std::string extension = out.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
    const bool onDisk = extension == ".adf";
    std::vector<std::pair<std::string, Bytes>> diskFiles;  // referenced assets, when out is a disk
    std::vector<std::pair<std::filesystem::path, Bytes>> volumeFiles;  // referenced assets, otherwise

    // First the assets, read and encoded; then the stream: asset commands, then the scenes.
    std::vector<LoadedAsset> assets = LoadAssets(script, doc, embedDefault);

    // Referenced files are loaded before the "y" that switches the rest of the stream to embedded
    // data, so each kind's list order is: its referenced assets, then its embedded ones.
    std::map<std::string, std::pair<Asset, uint16_t>> index;
    uint16_t counts[3] = {0, 0, 0};
    qfauthor::MovieWriter movie;
    for (int pass = 0; pass < 2; ++pass) {
        bool embedPass = pass == 1;
        bool switched = false;
        for (auto &a : assets) {
            if (a.embed != embedPass) continue;
            auto kind = static_cast<int>(a.kind);
            if (!index.emplace(a.name, std::make_pair(a.kind, counts[kind]++)).second)
                script.fail("", "two assets are named \"" + a.name + "\"");
            if (embedPass) {
                if (!switched) movie.embedded();
                switched = true;
                movie.load(a.kind, a.bytes);
            } else {
                movie.reference(a.kind, amigaDir, a.fileName);
                if (onDisk) {
                    std::string folder = directory;
                    while (!folder.empty() && folder.back() == '/') folder.pop_back();
                    diskFiles.emplace_back(folder.empty() ? a.fileName : folder + "/" + a.fileName, a.bytes);
                } else {
                    volumeFiles.emplace_back(qfauthor::ReferencedAssetPath(volumeDir, amigaDir, a.fileName), a.bytes);
                }
                ++result.referenced;
            }
        }
    }
    result.backgrounds = counts[0];
    result.faceSets = counts[1];
    result.sounds = counts[2];
    auto find = [&](const std::string &name, Asset kind, const char *what) {
        auto it = index.find(name);
        if (it == index.end() || it->second.first != kind)
            throw std::invalid_argument(std::string("no ") + what + " named \"" + name + "\"");
        return it->second.second;
    };
    auto assetNamed = [&](const std::string &name) -> const LoadedAsset & {
        for (auto &a : assets)
            if (a.name == name) return a;
        throw std::invalid_argument("no asset named \"" + name + "\"");
    };

    // Scenes: an entry with "repeat": N is its scene followed by N - 1 scenes that carry nothing
    // and so continue it (same background and duration, scrolling and cycling go on).
    if (!doc.contains("scenes") || !doc["scenes"].is_array() || doc["scenes"].empty())
        script.fail("", "the script needs a non-empty \"scenes\" list");
    const json &scenes = doc["scenes"];
    std::vector<int> first(scenes.size());
    long total = 0;
    for (size_t i = 0; i < scenes.size(); ++i) {
        first[i] = static_cast<int>(total + 1);
        std::string where = sceneLabel("scenes[" + std::to_string(i) + "]");
        int repeat = script.at(where, [&] { return Get(scenes[i], "repeat", 1); });
        if (repeat < 1) script.fail(where, "\"repeat\" must be 1 or more");
        total += repeat;
    }
    if (total > 65535) script.fail("scenes", "more than 65535 scenes");
    movie.scenes(static_cast<uint16_t>(total));
    result.scenes = static_cast<int>(total);

    long ticks = 0, lastTicks = 0;
    for (size_t i = 0; i < scenes.size(); ++i) {
        std::string where = sceneLabel("scenes[" + std::to_string(i) + "]");
        script.at(where, [&] {
            const json &s = scenes[i];
            int number = first[i];
            int repeat = Get(s, "repeat", 1);
            movie.scene(static_cast<uint16_t>(number));
            if (s.contains("ticks") || s.contains("seconds")) {
                long t = s.contains("ticks") ? Integer<long>(s["ticks"]) : std::lround(s["seconds"].get<double>() * 50.0);
                if (t < rules::MinTicks || t > rules::MaxTicks) throw std::invalid_argument(rules::TicksRule);
                movie.duration(static_cast<uint16_t>(t));
                lastTicks = t;
            }
            ticks += lastTicks * repeat;
            if (s.contains("background")) {
                if (s["background"].is_null())
                    movie.background(0xFFFF);
                else
                    movie.background(find(s["background"].get<std::string>(), Asset::Background, "background"));
            }
            if (s.contains("palette")) {
                std::array<uint16_t, 32> colours{};
                const json &p = s["palette"];
                if (p.is_string()) {
                    const LoadedAsset &b = assetNamed(p.get<std::string>());
                    if (b.kind != Asset::Background) throw std::invalid_argument("\"palette\" names no background");
                    for (size_t c = 0; c < 32; ++c)
                        colours[c] = qfauthor::AmigaColor(b.palette[c].red, b.palette[c].green, b.palette[c].blue);
                } else {
                    if (!p.is_array() || p.size() > 32) throw std::invalid_argument("\"palette\" lists up to 32 colours");
                    for (size_t c = 0; c < p.size(); ++c) colours[c] = ParseColor(p[c]);
                }
                movie.palette(colours);
            }
            if (s.contains("cycles")) {
                std::array<qfauthor::CycleRange, 4> ranges;
                for (auto &r : ranges) r.command = 3;  // leave the slot as it is
                const json &c = s["cycles"];
                if (c.is_string() && c.get<std::string>() == "stop") {
                    for (auto &r : ranges) r.command = 2;
                } else {
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
                }
                movie.cycles(ranges);
            }
            if (s.contains("scroll")) {
                const json &g = s["scroll"];
                std::string axis = Get<std::string>(g, "axis", "x");
                if (axis != "x" && axis != "y") throw std::invalid_argument("scroll \"axis\" is \"x\" or \"y\"");
                movie.scroll(Get<int16_t>(g, "velocity", 0), Get<int16_t>(g, "limit", 0), Get<int16_t>(g, "acceleration", 0),
                             axis == "x");
            }
            if (s.contains("sounds")) {
                for (const json &h : s["sounds"]) {
                    std::string name = Required(h, "sound");
                    uint16_t n = find(name, Asset::Sound, "sound");
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
                    uint16_t period = Get<uint16_t>(h, "period", assetNamed(name).period);
                    if (period < rules::MinPeriod) throw std::invalid_argument(rules::PeriodRule);
                    movie.sound(n, static_cast<uint16_t>(volume), period, mask);
                }
            }
            if (s.contains("sprites")) {
                for (const json &d : s["sprites"]) {
                    std::string setName = Required(d, "faceSet");
                    uint16_t set = find(setName, Asset::FaceSet, "face set");
                    int faceCount = assetNamed(setName).faceCount;
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
                        for (const json &f : d["frames"])
                            frames.push_back({Get(f, "face", 1), Get(f, "x", 0), Get(f, "y", 0)});
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
            }
            return 0;
        });
    }
    if (ticks == 0) script.fail(sceneLabel("scenes[0]"), "the movie has no length: give the first scene \"seconds\" or \"ticks\"");
    movie.end();
    result.seconds = ticks * 0.02;
    // The referenced files follow the output rules too, all asked about in one go.
    std::vector<std::filesystem::path> targets;
    for (const auto &file : volumeFiles) targets.push_back(file.first);
    outputs.claim(out);  // claimed before the pictures and sounds were known as inputs
    if (!targets.empty()) outputs.claim(targets, "the referenced files in " + volumeDir.string());
    try {
        if (!out.parent_path().empty()) std::filesystem::create_directories(out.parent_path());
        if (onDisk) {
            // Named after out, unless a folder of the assets already has that name on the disk.
            result.diskFile = out.stem().string();
            for (const auto &file : diskFiles) {
                std::string top = file.first.substr(0, file.first.find('/'));
                if (top.size() == result.diskFile.size() &&
                    std::equal(top.begin(), top.end(), result.diskFile.begin(),
                               [](char a, char b) { return std::tolower((unsigned char)a) == std::tolower((unsigned char)b); }))
                    result.diskFile += ".movie";
            }
            Bytes image = DiskImage(volume, result.diskFile, movie.bytes(), diskFiles);
            outputs.write(out, [&](const std::filesystem::path &file) {
                std::ofstream f(file, std::ios::binary | std::ios::trunc);
                f.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
                if (!f.flush()) throw std::runtime_error("cannot write the disk image");
            });
        } else {
            for (const auto &asset : volumeFiles) {
                std::filesystem::create_directories(asset.first.parent_path());
                outputs.write(asset.first, [&asset](const std::filesystem::path &file) { qfutil::WriteFile(file, asset.second); });
            }
            outputs.write(out, [&](const std::filesystem::path &file) { movie.save(file); });
        }
    } catch (const std::exception &e) {
        throw std::runtime_error("cannot write " + out.string() + ": " + e.what());
    }
    std::error_code ec;
    result.bytes = std::filesystem::file_size(out, ec);
    if (result.referenced || onDisk) {
        result.volumeName = volume;
        result.volumeDirectory = onDisk ? out : volumeDir;
    }
    return result;
}

}  // namespace

MakeResult MakeMovie(const std::filesystem::path &scriptPath, const std::filesystem::path &out, qfutil::Outputs &outputs)
{
    try {
        return Make(scriptPath, out, outputs);
    } catch (const std::runtime_error &e) {
        // Keys, names and file names come from the script: every message stays one printable line.
        throw std::runtime_error(qfutil::Printable(e.what()));
    }
}

}  // namespace qfauthor
