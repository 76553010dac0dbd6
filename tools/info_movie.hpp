// quillframer info on a movie: what it is made of, read by a survey before the normal open
// (the files it loads and where they were found, its scenes), and every missing file at once.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common.hpp"
#include "qfhost/survey.hpp"

namespace qftools {

// What the loaded record of a file holds; zero where it does not apply or was not loaded.
struct AssetSize {
    int width = 0, height = 0, colors = 0;  // a picture, or the colours of a face set
    int faces = 0;
    uint32_t samples = 0, rate = 0;
};

struct MovieContents {
    std::vector<qfhost::AssetEntry> assets;
    std::vector<AssetSize> sizes;  // one per asset
    std::vector<qfhost::SceneEntry> scenes;
    std::vector<std::string> missingVolumes;  // each once, as first named
    int backgrounds = 0, faceSets = 0, sounds = 0;
    int assetsDropped = 0;  // files past what a survey records
    uint32_t durationMs = 0;
    int width = 0, height = 0;
    bool opened = false;
    std::string failure;  // why a survey that skips missing files still could not open it
};

// Surveys the movie (a file, an image holding one, or IMAGE:path) with the volumes the options
// give, asking no one and reading past missing files. The Survey is gone on return, so the
// movie can then be opened normally.
MovieContents SurveyMovie(const Context &context, const std::string &movie);

// A broken stream first: throws a ToolError with the words every subcommand uses.
void RefuseBroken(const MovieContents &contents);
// When files are missing: lists them by volume on stdout (not with json) and throws a ToolError
// naming the --volume flags that would supply them. Returns when nothing is missing.
void RefuseMissing(const MovieContents &contents, const std::string &movie, bool json);

// The lines after info's own: the counts, then one line per file.
void PrintContents(const MovieContents &contents);
// info --scenes: one line per scene.
void PrintScenes(const MovieContents &contents);
// The same facts for --json.
void AddContents(nlohmann::ordered_json &j, const MovieContents &contents);

}  // namespace qftools
