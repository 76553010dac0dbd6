// The gallery page: the catalogue's movies reduced to what a card shows and the filter searches,
// embedded as JSON in a copy of gallery_page.html.
#include "scan_gallery.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "common.hpp"
#include "qfutil/output.hpp"
#include "qfutil/printable.hpp"

namespace qftools {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

// gallery_page.html, with the marker where the data goes.
constexpr std::string_view kPage =
#include "gallery_page.inc"
    ;
constexpr std::string_view kDataMarker = "<!--QF-GALLERY-DATA-->";

std::string Text(const Json &object, const char *key)
{
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The container a location starts in: its first segment, when something lies inside it.
std::string Disk(const std::string &location)
{
    const size_t colon = location.find(':');
    return colon == std::string::npos ? std::string() : location.substr(0, colon);
}

// A media path goes into src attributes: only a plain relative path under DIR to a file the scan
// made, never a URL, an absolute path or one that climbs out.
bool UsableMedia(const fs::path &dir, const std::string &path)
{
    if (path.empty() || path.front() == '/' || path.find_first_of(":\\") != std::string::npos) return false;
    for (unsigned char c : path)
        if (c < 0x20 || c == 0x7f) return false;
    for (const fs::path &part : fs::path(path))
        if (part == "..") return false;
    std::error_code error;
    return fs::is_regular_file(dir / path, error);
}

// What a card needs from a movie line.
Json MovieCard(const fs::path &dir, const Json &line)
{
    Json card;
    card["name"] = Text(line, "name");
    Json locations = Json::array();
    if (auto it = line.find("locations"); it != line.end() && it->is_array())
        for (const Json &location : *it)
            if (location.is_string()) locations.push_back(location);
    card["disk"] = locations.empty() ? std::string() : Disk(locations[0].get<std::string>());
    card["locations"] = std::move(locations);
    card["length"] = Text(line, "lengthText");
    for (const char *key : {"scenes", "width", "height", "frames"})
        if (auto it = line.find(key); it != line.end() && it->is_number_unsigned()) card[key] = *it;
    Json missing = Json::array();
    if (auto it = line.find("assets"); it != line.end() && it->is_array())
        for (const Json &asset : *it)
            if (asset.is_object() && asset.contains("missing") && asset["missing"] == true)
                missing.push_back(Text(asset, "amigaPath"));
    card["missing"] = std::move(missing);
    Json volumes = Json::array();
    if (auto it = line.find("volumes"); it != line.end() && it->is_array())
        for (const Json &volume : *it)
            if (volume.is_object())
                volumes.push_back({{"label", Text(volume, "label")}, {"chosen", Text(volume, "chosen")}});
    card["volumes"] = std::move(volumes);
    if (std::string error = Text(line, "error"); !error.empty()) card["error"] = error;
    if (auto media = line.find("media"); media != line.end() && media->is_object())
        for (const char *key : {"poster", "sheet", "video"})
            if (std::string path = Text(*media, key); UsableMedia(dir, path)) card[key] = path;
    return card;
}

// JSON inside <script>: every '<', '>' and '&' escaped, so no name can end the element or open a
// comment. They only occur inside strings, where \u escapes mean the same.
std::string ScriptSafe(const Json &value)
{
    const std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '<') out += "\\u003c";
        else if (c == '>') out += "\\u003e";
        else if (c == '&') out += "\\u0026";
        else out += c;
    }
    return out;
}

}  // namespace

void WriteGallery(const fs::path &dir)
{
    const fs::path catalogue = dir / "catalogue.jsonl";
    std::ifstream in(catalogue);
    if (!in) throw ToolError("cannot read " + qfutil::Quoted(catalogue.string()) + ": " + std::strerror(errno));
    const size_t marker = kPage.find(kDataMarker);
    std::error_code error;
    const bool player = fs::is_regular_file(dir / "player" / "index.html", error);

    qfutil::Outputs outputs(qfutil::Overwrite::Always);
    try {
        outputs.write(dir / "index.html", [&](const fs::path &file) {
            std::ofstream out(file, std::ios::binary);
            out << kPage.substr(0, marker) << "{\"player\":" << (player ? "true" : "false") << ",\"movies\":[";
            // Movies are streamed; containers and the summary are few and come last.
            Json containers = Json::array(), summary;
            std::string line;
            size_t number = 0, movies = 0;
            while (std::getline(in, line)) {
                ++number;
                if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
                Json entry = Json::parse(line, nullptr, false);
                if (!entry.is_object())
                    throw ToolError(qfutil::Quoted(catalogue.string()) + " line " + std::to_string(number) +
                                    ": not a JSON object");
                const std::string type = Text(entry, "type");
                if (type == "movie") {
                    out << (movies++ ? "," : "") << ScriptSafe(MovieCard(dir, entry));
                } else if (type == "container") {
                    containers.push_back({{"location", Text(entry, "location")}, {"reason", Text(entry, "reason")}});
                } else if (type == "summary") {
                    summary = std::move(entry);
                }
            }
            if (in.bad()) throw ToolError("cannot read " + qfutil::Quoted(catalogue.string()));
            out << "],\"containers\":" << ScriptSafe(containers) << ",\"summary\":" << ScriptSafe(summary) << "}"
                << kPage.substr(marker + kDataMarker.size());
            out.close();
            if (!out) throw std::runtime_error("cannot write " + file.string());
        });
    } catch (const ToolError &) {
        throw;
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
}

}  // namespace qftools
