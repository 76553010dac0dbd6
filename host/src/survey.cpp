// Survey: the plug-in's own model of a movie, opened through qfcore_explain, read into plain
// entries for the command.
#include "qfhost/survey.hpp"

#include <algorithm>
#include <unordered_map>

#include "host_state.hpp"
#include "recording/movie_survey.h"
#include "qfhost/printable.hpp"

namespace qfhost {
namespace {

AssetOrigin OriginOf(int32_t source)
{
    switch (source) {
    case AssetEmbedded: return AssetOrigin::Embedded;
    case AssetLoaded: return AssetOrigin::Loaded;
    case AssetVolumeMissing: return AssetOrigin::VolumeMissing;
    case AssetFileMissing: return AssetOrigin::FileMissing;
    case AssetPathRefused: return AssetOrigin::PathRefused;
    default: return AssetOrigin::NotLoaded;
    }
}

AssetType TypeOf(int32_t kind)
{
    return kind == AssetBackground ? AssetType::Background : kind == AssetFaceSet ? AssetType::FaceSet : AssetType::Sound;
}

template <typename Record>
std::vector<const Record *> ListOf(const Record *head, int32_t count)
{
    std::vector<const Record *> records;
    for (const Record *r = head; r && static_cast<int32_t>(records.size()) < count; r = r->next) records.push_back(r);
    return records;
}

template <typename Record>
int NumberOf(const std::unordered_map<const Record *, int> &numbers, const Record *record)
{
    auto found = numbers.find(record);
    return found == numbers.end() ? -1 : found->second;
}

template <typename Record>
std::unordered_map<const Record *, int> Numbers(const std::vector<const Record *> &records)
{
    std::unordered_map<const Record *, int> numbers;
    for (size_t i = 0; i < records.size(); ++i) numbers.emplace(records[i], static_cast<int>(i));
    return numbers;
}

}  // namespace

const char *AssetTypeName(AssetType type)
{
    return type == AssetType::Background ? "background" : type == AssetType::FaceSet ? "face set" : "sound";
}

bool AssetEntry::missing() const
{
    return origin == AssetOrigin::VolumeMissing || origin == AssetOrigin::FileMissing || origin == AssetOrigin::PathRefused;
}

Survey::Survey(Host &host, const std::filesystem::path &movie, uint32_t openOption, bool skipMissing)
    : record_(std::make_unique<MovieSurvey>())
{
    host.makeCurrent();
    // Asks no one: a survey lists what is missing instead. Volumes answered during the open
    // just made keep their answers.
    HostSettings saved = host.settings();
    host.settings().policy = RequesterPolicy::FixedMap;
    for (const auto &[volume, directory] : HostServices::state()->answers) host.settings().volumes.emplace(volume, directory);
    host.beginOpen(movie);
    QfSurveyMovie(host.base(), movie.string().c_str(), openOption, skipMissing ? 1 : 0, record_.get());
    host.settings() = std::move(saved);

    for (int32_t i = 0; i < record_->assetCount; ++i) {
        const SurveyedAsset &a = record_->assets[i];
        assets_.push_back({TypeOf(a.kind), OriginOf(a.source), a.index, a.command, a.offset, Printable(a.amigaPath),
                           Printable(a.volume), Printable(a.hostPath), a.amigaPath});
    }
    const MovieHandle *m = record_->movie;
    if (!m) return;
    backgrounds_ = ListOf(m->backgrounds, m->backgroundCount);
    faceSets_ = ListOf(m->faceSets, m->faceSetCount);
    sounds_ = ListOf(m->soundSamples, m->soundCount);
    const auto backgroundNumbers = Numbers(backgrounds_);
    const auto soundNumbers = Numbers(sounds_);
    // A placement shows a face's pixels, which belong to one set.
    std::unordered_map<const uint8_t *, int> setOfPixels;
    for (size_t s = 0; s < faceSets_.size(); ++s)
        for (const FaceImage *face = faceSets_[s]->images; face; face = face->next)
            if (face->pixels) setOfPixels.emplace(face->pixels, static_cast<int>(s));

    uint32_t start = 0;
    for (int32_t i = 1; i <= m->sceneCount; ++i) {
        const SceneRecord &s = m->scenes[i];
        SceneEntry scene;
        scene.number = i;
        scene.startMs = start;
        scene.frames = s.frames;
        scene.durationMs = SceneLengthMs(&s);
        start += scene.durationMs;
        scene.background = NumberOf(backgroundNumbers, static_cast<const BackgroundImage *>(s.background));
        scene.paletteColors = s.palette ? s.paletteCount : 0;
        scene.ownPalette = s.palette && s.paletteOwned;
        scene.scrolls = s.scroll != nullptr;
        for (const ColorCycle &cycle : s.cycles) scene.cycles += cycle.command == 1;
        for (const SpritePlacement *layer : s.layers)
            for (const SpritePlacement *p = layer; p; p = p->next) {
                ++scene.sprites;
                auto set = setOfPixels.find(p->pixels);
                if (set != setOfPixels.end() &&
                    std::find(scene.faceSets.begin(), scene.faceSets.end(), set->second) == scene.faceSets.end())
                    scene.faceSets.push_back(set->second);
            }
        std::sort(scene.faceSets.begin(), scene.faceSets.end());
        for (int k = 0; k < ChannelCount; ++k) {
            if (!s.sounds[k]) continue;
            scene.channels[k] = {NumberOf(soundNumbers, static_cast<const SoundSample *>(s.sounds[k])), s.rates[k],
                                 s.volumes[k]};
        }
        scenes_.push_back(std::move(scene));
    }
    // Records standing in for missing files hold nothing to take out.
    for (const AssetEntry &a : assets_) {
        if (!a.missing() || a.index < 0) continue;
        if (a.type == AssetType::Background && a.index < static_cast<int>(backgrounds_.size())) backgrounds_[a.index] = nullptr;
        if (a.type == AssetType::FaceSet && a.index < static_cast<int>(faceSets_.size())) faceSets_[a.index] = nullptr;
        if (a.type == AssetType::Sound && a.index < static_cast<int>(sounds_.size())) sounds_[a.index] = nullptr;
    }
}

Survey::~Survey() { QfEndSurvey(record_.get()); }

bool Survey::opened() const { return record_->opened != 0; }
int Survey::width() const { return record_->movie ? record_->movie->width : 0; }
int Survey::height() const { return record_->movie ? record_->movie->height : 0; }
uint32_t Survey::durationMs() const { return record_->movie ? record_->movie->duration : 0; }
int Survey::assetsDropped() const { return record_->assetsDropped; }
int Survey::backgroundCount() const { return static_cast<int>(backgrounds_.size()); }
int Survey::faceSetCount() const { return static_cast<int>(faceSets_.size()); }
int Survey::soundCount() const { return static_cast<int>(sounds_.size()); }

std::vector<std::string> Survey::missingVolumes() const
{
    std::vector<std::string> volumes;
    for (const AssetEntry &a : assets_) {
        if (a.origin != AssetOrigin::VolumeMissing) continue;
        bool seen = std::any_of(volumes.begin(), volumes.end(),
                                [&](const std::string &v) { return CompareIgnoringCase(v, a.volume) == 0; });
        if (!seen) volumes.push_back(a.volume);
    }
    return volumes;
}

template <typename Record>
static const Record *At(const std::vector<const Record *> &records, int index)
{
    return index >= 0 && index < static_cast<int>(records.size()) ? records[index] : nullptr;
}

const BackgroundImage *Survey::background(int index) const { return At(backgrounds_, index); }
const FaceSet *Survey::faceSet(int index) const { return At(faceSets_, index); }
const SoundSample *Survey::sound(int index) const { return At(sounds_, index); }
const MovieHandle *Survey::model() const { return record_->movie; }

int SceneAt(std::span<const SceneEntry> scenes, uint32_t ms)
{
    int found = 0;
    for (const SceneEntry &scene : scenes) {
        if (scene.startMs > ms) break;
        found = scene.number;
    }
    return found;
}

}  // namespace qfhost
