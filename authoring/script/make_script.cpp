#include "authoring/script/make_script.hpp"

#include <algorithm>
#include <fstream>
#include <string_view>

#include <sys/stat.h>

#include "authoring/adf_writer.h"
#include "authoring/script/make_internal.hpp"
#include "qfutil/output.hpp"
#include "qfutil/printable.hpp"
#include "qfutil/suggest.hpp"

namespace qfauthor {

namespace make {

void RequireRegularFile(const std::filesystem::path &p)
{
    struct stat info {};
    if (::stat(p.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
        throw std::invalid_argument("cannot read \"" + p.string() + "\": not a regular file");
}

std::filesystem::path Script::resolve(const std::string &file) const
{
    std::filesystem::path p(file);
    p = p.is_absolute() ? p : path_.parent_path() / p;
    RequireRegularFile(p);  // a FIFO would hang the read
    outputs_.addInput(p);   // a picture or sound the movie is made of is never written over
    return p;
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

std::string Required(const json &object, const char *key)
{
    if (!object.contains(key)) throw std::invalid_argument(std::string("missing \"") + key + "\"");
    return object.at(key).get<std::string>();
}

}  // namespace make

namespace {

using namespace make;

// Every object's keys against the ones it may have, before anything is loaded: a misspelt key
// would otherwise be ignored and its default used without a word.
struct Shape {
    std::vector<std::string_view> keys;
    std::vector<std::pair<std::string_view, const Shape *>> lists;    // key: array of this shape
    std::vector<std::pair<std::string_view, const Shape *>> objects;  // key: one object of this shape
};

void CheckKeys(const Script &script, const json &object, const Shape &shape, const std::string &where,
               const SceneLabels &scene)
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

void CheckScriptKeys(const Script &script, const json &doc, const SceneLabels &label)
{
    static const Shape face{{"png", "offset"}, {}, {}};
    static const Shape background{{"name", "png", "planes", "compress", "embed", "amigaName"}, {}, {}};
    static const Shape faceSet{{"name", "embed", "amigaName", "colours"}, {{"faces", &face}}, {}};
    static const Shape sound{{"name", "file", "period", "rate", "gain", "resample", "embed", "amigaName"}, {}, {}};
    static const Shape cycle{{"low", "high", "reverse", "stop"}, {}, {}};
    static const Shape scroll{{"axis", "velocity", "acceleration", "limit"}, {}, {}};
    static const Shape start{{"sound", "channel", "channels", "volume", "period"}, {}, {}};
    static const Shape frame{{"face", "x", "y"}, {}, {}};
    static const Shape sprite{{"faceSet", "origin", "layer", "faces", "count", "move"}, {{"frames", &frame}}, {}};
    static const Shape sceneShape{{"ticks", "seconds", "repeat", "background", "palette"},
                                  {{"cycles", &cycle}, {"sounds", &start}, {"sprites", &sprite}},
                                  {{"scroll", &scroll}}};
    static const Shape top{
        {"embed", "volume", "directory", "volumeDirectory"},
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

json ReadScript(const std::filesystem::path &scriptPath, const Script &script)
{
    try {
        RequireRegularFile(scriptPath);
    } catch (const std::invalid_argument &e) {
        throw std::runtime_error(e.what());
    }
    std::ifstream in(scriptPath);
    if (!in) throw std::runtime_error("cannot read " + scriptPath.string() + ": no such file or not readable");
    json doc;
    try {
        doc = json::parse(in);
    } catch (const json::exception &e) {  // a number too large to hold is out_of_range, not parse_error
        script.fail("", "not valid JSON: " + Script::CleanJsonError(e.what()));
    }
    if (!doc.is_object()) script.fail("", "the script must be a JSON object");
    return doc;
}

struct Settings {
    bool embedDefault = true;
    std::string volume;
    References references;
};

// The top level's keys: whether assets are embedded, and where the referenced ones go.
Settings ReadSettings(const Script &script, const json &doc, const std::filesystem::path &out)
{
    Settings settings;
    References &r = settings.references;
    script.at("top level", [&] {
        settings.embedDefault = Get(doc, "embed", true);
        settings.volume = Get<std::string>(doc, "volume", "Work");
        r.directory = Get<std::string>(doc, "directory", "");
        const std::string &volume = settings.volume;
        if (volume.empty() || volume.size() > 63 || volume.find_first_of(":/") != std::string::npos)
            throw std::invalid_argument("\"volume\" must be 1 to 63 characters without : or /");
        // Below the volume, as a host maps it: "/" and "//" mean a parent on the Amiga, and ".."
        // would leave the volume's directory here.
        std::string inner = r.directory;
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
            throw std::invalid_argument(
                "\"directory\" must be a folder below the volume (no :, no leading or double /, no . or ..)");
        std::string dir = Get<std::string>(doc, "volumeDirectory", out.stem().string() + "-volume");
        r.volumeDir = std::filesystem::path(dir).is_absolute() ? std::filesystem::path(dir) : out.parent_path() / dir;
        return 0;
    });
    r.amigaDir = settings.volume + ":" + r.directory;
    std::string extension = out.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    r.onDisk = extension == ".adf";
    return settings;
}

// The message names what the user knows, not the temporary file it is written through.
void WriteFile(const std::filesystem::path &file, const Bytes &bytes, const std::string &what)
{
    try {
        qfutil::WriteFile(file, bytes);
    } catch (const std::runtime_error &) {
        throw std::runtime_error("cannot write " + what);
    }
}

// The movie, and its referenced files beside it or with it on a disk image. Returns the movie's
// name on the disk (empty when out is no disk).
std::string WriteOutputs(const std::filesystem::path &out, const std::string &volume, const References &references,
                         const MovieWriter &movie, qfutil::Outputs &outputs)
{
    // The referenced files follow the output rules too, all asked about in one go.
    std::vector<std::filesystem::path> targets;
    for (const auto &file : references.volumeFiles) targets.push_back(file.first);
    outputs.claim(out);  // claimed before the pictures and sounds were known as inputs
    if (!targets.empty()) outputs.claim(targets, "the referenced files in " + references.volumeDir.string());
    std::string diskFile;
    try {
        if (!out.parent_path().empty()) std::filesystem::create_directories(out.parent_path());
        if (references.onDisk) {
            // Named after out, unless a folder of the assets already has that name on the disk.
            diskFile = out.stem().string();
            for (const auto &file : references.diskFiles) {
                std::string top = file.first.substr(0, file.first.find('/'));
                if (top.size() == diskFile.size() &&
                    std::equal(top.begin(), top.end(), diskFile.begin(), [](char a, char b) {
                        return std::tolower((unsigned char)a) == std::tolower((unsigned char)b);
                    }))
                    diskFile += ".movie";
            }
            Bytes image = DiskImage(volume, diskFile, movie.bytes(), references.diskFiles);
            outputs.write(out, [&](const std::filesystem::path &file) { WriteFile(file, image, "the disk image"); });
        } else {
            for (const auto &asset : references.volumeFiles) {
                std::filesystem::create_directories(asset.first.parent_path());
                outputs.write(asset.first, [&asset](const std::filesystem::path &file) {
                    WriteFile(file, asset.second, asset.first.string());
                });
            }
            outputs.write(out, [&](const std::filesystem::path &file) { movie.save(file); });
        }
    } catch (const std::exception &e) {
        throw std::runtime_error("cannot write " + out.string() + ": " + e.what());
    }
    return diskFile;
}

// First the assets, read and encoded; then the stream: asset commands, then the scenes.
MakeResult Make(const std::filesystem::path &scriptPath, const std::filesystem::path &out, qfutil::Outputs &outputs,
                const MakeOptions &options)
{
    Script script(scriptPath, outputs);
    const json doc = ReadScript(scriptPath, script);
    const SceneLabels sceneLabel(doc);
    CheckScriptKeys(script, doc, sceneLabel);
    Settings settings = ReadSettings(script, doc, out);
    References &references = settings.references;

    Assets assets = LoadAssets(script, doc, settings.embedDefault, options);
    std::vector<std::string> faceWarnings = MatchFaceColours(script, doc, assets, options);
    std::vector<std::string> warnings = assets.warnings;  // reduced pictures, as faces left them
    warnings.insert(warnings.end(), faceWarnings.begin(), faceWarnings.end());
    MovieWriter movie;
    StreamAssets(script, assets, references, movie);
    const SceneTotals totals = WriteScenes(script, doc, assets, sceneLabel, movie);
    movie.end();

    MakeResult result;
    result.warnings = std::move(warnings);
    result.scenes = static_cast<int>(totals.scenes);
    result.seconds = totals.ticks * 0.02;
    result.backgrounds = assets.counts[0];
    result.faceSets = assets.counts[1];
    result.sounds = assets.counts[2];
    result.referenced = references.count;
    result.diskFile = WriteOutputs(out, settings.volume, references, movie, outputs);
    std::error_code ec;
    result.bytes = std::filesystem::file_size(out, ec);
    if (result.referenced || references.onDisk) {
        result.volumeName = settings.volume;
        result.volumeDirectory = references.onDisk ? out : references.volumeDir;
    }
    return result;
}

}  // namespace

MakeResult MakeMovie(const std::filesystem::path &scriptPath, const std::filesystem::path &out,
                     qfutil::Outputs &outputs, const MakeOptions &options)
{
    try {
        return Make(scriptPath, out, outputs, options);
    } catch (const std::runtime_error &e) {
        // Keys, names and file names come from the script: every message stays one printable line.
        throw std::runtime_error(qfutil::Printable(e.what()));
    }
}

}  // namespace qfauthor
