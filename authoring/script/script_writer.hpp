// movie.json for `quillframer extract`: the make script that makes a surveyed movie again from
// its art written out as files. The inverse of make_script.cpp, held to the same rules.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "qfhost/survey.hpp"

namespace qfauthor {

class ScriptWriter {
public:
    // What the script cannot say as the movie does goes to warnings, one line each.
    ScriptWriter(const qfhost::Survey &survey, std::vector<std::string> &warnings);

    // The assets, in the order the script lists them, under the names and files given.
    void addBackground(int number, const std::string &name, const std::string &file);
    void addFaceSet(int number, const std::string &name, const std::vector<std::string> &files);
    void addSound(int number, const std::string &name, const std::string &file, int rate);

    // The script with the scenes after the assets: one asset a line and one scene a line, short
    // enough to read, and diffs stay small.
    std::string text();

private:
    using Json = nlohmann::ordered_json;
    struct Sound {
        std::string name;
        uint16_t period;
    };

    Json scenes();
    void warn(int scene, const std::string &what);
    void background(const qfhost::SceneEntry &scene, int last, Json &out);
    void sounds(const qfhost::SceneEntry &scene, Json &out);
    void sprites(const qfhost::SceneEntry &scene, Json &out);

    const qfhost::Survey &survey_;
    std::vector<std::string> &warnings_;
    Json script_ = Json::object();
    std::map<int, std::string> backgroundNames_;
    std::map<int, std::string> faceSetNames_;
    std::map<int, Sound> sounds_;
};

}  // namespace qfauthor
