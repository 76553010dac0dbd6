// quillframer scan: what walking a collection finds in one top-level file, and how the finds of
// every file become the catalogue. The walk and the catalogue meet only through these records,
// which the state file keeps between runs and shards.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common.hpp"
#include "qfhost/volume_member.hpp"

namespace qftools::scan {

// A place in the collection: segments joined by ':', the first a host path relative to its root,
// each next a '/'-path inside the container before.
using Location = std::string;

struct MovieFound {
    std::string sha256;
    Location location;
    uint64_t size = 0;
};

struct LabelFound {
    std::string label;  // a disk image's own name
    Location location;
};

struct Damage {
    Location location;
    std::string reason;
};

// All one top-level file held, nested containers included.
struct UnitFinds {
    size_t root = 0;  // index into the scanned roots
    Location unit;    // the top-level file
    std::vector<MovieFound> movies;
    std::vector<LabelFound> labels;
    std::vector<Damage> damage;
    uint64_t files = 0, containers = 0;
    uint64_t pictures = 0, faceSets = 0, sounds = 0;
    uint64_t bytesRead = 0;
};

nlohmann::ordered_json ToJson(const UnitFinds &finds);
UnitFinds UnitFromJson(const nlohmann::json &j);

// Reads a host file and every container inside it (to the limits), recognising each file by its
// first bytes; a movie is read whole once, for its hash. Damage is recorded, never thrown.
UnitFinds ScanUnit(const std::filesystem::path &file, size_t root, const Location &unit,
                   const qfhost::NestLimits &limits);

// "0123…": the SHA-256 of bytes fed in pieces.
class Sha256 {
public:
    Sha256();
    void add(const uint8_t *data, size_t size);
    std::string hex();

private:
    void block(const uint8_t *p);
    uint32_t h_[8];
    uint8_t buffer_[64];
    size_t used_ = 0;
    uint64_t total_ = 0;
};

// What the catalogue is to hold besides the facts: conversions wanted, and how.
struct CatalogueOptions {
    std::vector<std::filesystem::path> roots;
    std::string video;   // "", mp4, webm or gif
    bool media = false;  // poster and contact sheet (always with a video)
    int jobs = 1;
    bool csv = false;
    std::vector<std::filesystem::path> mediaFrom;  // other folders whose media/ may already hold a file
};

struct Totals {
    double seconds = 0;
    bool complete = true;
};

// Writes dir/catalogue.jsonl (and .csv) from every unit's finds: one line per distinct movie,
// surveyed with its volumes resolved across all of them, then the damaged containers, then the
// summary. Temporary file and rename, so a reader sees the old catalogue or the new one.
void WriteCatalogue(const Context &context, const std::filesystem::path &dir, const std::vector<UnitFinds> &units,
                    const CatalogueOptions &options, const Totals &totals);

// The file-safe name media files take after a movie's first location.
std::string MediaStem(const Location &first, const std::string &sha256);

}  // namespace qftools::scan
