// The demo web page. The page runs from file://, where a script cannot read files beside it, so
// the movie and its volume travel inside a script as base64.
#include "demo_web.hpp"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <stdexcept>

#include "qfutil/output.hpp"

namespace qfauthor {
namespace fs = std::filesystem;
namespace {

std::string ReadAll(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Base64(const std::string &bytes)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 2]);
        out += digits[n >> 18 & 63];
        out += digits[n >> 12 & 63];
        out += i + 1 < bytes.size() ? digits[n >> 6 & 63] : '=';
        out += i + 2 < bytes.size() ? digits[n & 63] : '=';
    }
    return out;
}

// Names here are ours (the demo's), but quote them properly anyway.
std::string JsonString(const std::string &s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

std::optional<fs::path> WriteDemoWebPage(const fs::path &dir, const DemoMovie &demo)
{
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    const fs::path page = (ec ? fs::current_path() : self.parent_path()) / "web-page";
    if (!fs::exists(page / "quillframer-wasm.js")) return std::nullopt;

    const fs::path out = dir / "web";
    fs::create_directories(out);
    for (const char *file : {"quillframer-wasm.js", "containers.js", "player.js", "style.css"})
        fs::copy_file(page / file, out / file, fs::copy_options::overwrite_existing);

    std::vector<fs::path> files;
    for (const auto &entry : fs::recursive_directory_iterator(demo.volumeDirectory))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::ostringstream data;
    data << "// The demo movie and its Amiga volume, for the Play the demo button.\n"
         << "window.QUILLFRAMER_DEMO = {\n  movie: { name: " << JsonString(demo.movie.filename().string())
         << ", data: \"" << Base64(ReadAll(demo.movie)) << "\" },\n  volume: { name: " << JsonString(demo.volumeName)
         << ", files: [\n";
    for (const fs::path &file : files)
        data << "    { path: " << JsonString(fs::relative(file, demo.volumeDirectory).generic_string()) << ", data: \""
             << Base64(ReadAll(file)) << "\" },\n";
    data << "  ] },\n};\n";
    qfutil::WriteFile(out / "demo-data.js", data.str());

    std::string html = ReadAll(page / "index.html");
    const std::string marker = "<!-- demo data -->";
    if (size_t at = html.find(marker); at != std::string::npos)
        html.replace(at, marker.size(), "<script src=\"demo-data.js\"></script>");
    qfutil::WriteFile(out / "index.html", html);
    return out / "index.html";
}

}  // namespace qfauthor
