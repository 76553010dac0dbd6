// Survey: the plug-in's own model of a movie, opened through qfcore_explain, read into plain
// entries for the command.
#include "qfhost/survey.hpp"

#include <algorithm>
#include <unordered_map>

#include "host_state.hpp"
#include "playback/playback.h"
#include "recording/movie_survey.h"
#include "qfutil/printable.hpp"

namespace qfhost {

static_assert(PaletteEntries == PaletteWordCount && ScenePaletteColors == ::ScenePaletteColors);
static_assert(CycleCount == std::tuple_size_v<decltype(SceneCommands::cycles)>);

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
    return kind == AssetBackground ? AssetType::Background
           : kind == AssetFaceSet  ? AssetType::FaceSet
                                   : AssetType::Sound;
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

// A palette's colours as RGB triples; the records hold at most 256.
std::span<const uint8_t> Colors(const uint8_t *colors, int count)
{
    return {colors, 3 * static_cast<size_t>(std::clamp(count, 0, PaletteEntries))};
}

}  // namespace

const char *AssetTypeName(AssetType type)
{
    return type == AssetType::Background ? "background" : type == AssetType::FaceSet ? "face set" : "sound";
}

bool AssetEntry::missing() const
{
    return origin == AssetOrigin::VolumeMissing || origin == AssetOrigin::FileMissing ||
           origin == AssetOrigin::PathRefused;
}

namespace {
void ReadArt(const std::vector<const BackgroundImage *> &backgrounds, const std::vector<const FaceSet *> &faceSets,
             const std::vector<const SoundSample *> &sounds, std::vector<std::optional<PictureArt>> &backgrounds_,
             std::vector<std::optional<FaceSetArt>> &faceSets_, std::vector<std::optional<SoundArt>> &sounds_);
void ReadCommands(const MovieHandle &m, const std::unordered_map<const BackgroundImage *, int> &backgroundNumbers,
                  const std::vector<const FaceSet *> &faceSets, std::vector<SceneEntry> &scenes_);
}  // namespace

Survey::Survey(Host &host, const std::filesystem::path &movie, uint32_t openOption, bool skipMissing)
    : record_(std::make_unique<MovieSurvey>())
{
    host.makeCurrent();
    // Asks no one: a survey lists what is missing instead. Volumes answered during the open
    // just made keep their answers.
    HostSettings saved = host.settings();
    host.settings().policy = RequesterPolicy::FixedMap;
    for (const auto &[volume, directory] : HostServices::state()->locationAnswers())
        host.settings().volumes.emplace(volume, directory);
    host.beginOpen(movie);
    QfSurveyMovie(host.base(), movie.string().c_str(), openOption, skipMissing ? 1 : 0, record_.get());
    host.settings() = std::move(saved);

    // Where the host found a file, when that is not where the plug-in asked for it.
    const auto &foundAt = HostServices::state()->foundAt;
    for (int32_t i = 0; i < record_->assetCount; ++i) {
        const SurveyedAsset &a = record_->assets[i];
        auto found = foundAt.find(a.hostPath);
        assets_.push_back({TypeOf(a.kind), OriginOf(a.source), a.index, a.command, a.offset, Printable(a.amigaPath),
                           Printable(a.volume), Printable(found == foundAt.end() ? a.hostPath : found->second),
                           a.amigaPath, Printable(a.fileName)});
    }
    const MovieHandle *m = record_->movie;
    if (!record_->opened)
        failure_ = Printable(DescribeOpenFailure(record_->diagnostics, movie.string(), HostServices::state()->failure));
    if (!m) return;
    std::vector<const BackgroundImage *> backgrounds = ListOf(m->backgrounds, m->backgroundCount);
    std::vector<const FaceSet *> faceSets = ListOf(m->faceSets, m->faceSetCount);
    std::vector<const SoundSample *> sounds = ListOf(m->soundSamples, m->soundCount);
    const auto backgroundNumbers = Numbers(backgrounds);
    const auto soundNumbers = Numbers(sounds);
    // A placement shows a face's pixels, which belong to one set.
    std::unordered_map<const uint8_t *, int> setOfPixels;
    for (size_t s = 0; s < faceSets.size(); ++s)
        for (const FaceImage *face = faceSets[s]->images; face; face = face->next)
            if (face->pixels) setOfPixels.emplace(face->pixels, static_cast<int>(s));

    uint32_t start = 0;
    for (int32_t i = 1; i <= m->sceneCount; ++i) {
        const SceneRecord &s = m->scenes[i];
        SceneEntry scene;
        scene.number = i;
        scene.startMs = start;
        scene.frames = s.frames;
        scene.durationMs = SceneLengthMs(&s);
        start = NextSceneStart(m, i, start);
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
        if (a.type == AssetType::Background && a.index < static_cast<int>(backgrounds.size()))
            backgrounds[a.index] = nullptr;
        if (a.type == AssetType::FaceSet && a.index < static_cast<int>(faceSets.size())) faceSets[a.index] = nullptr;
        if (a.type == AssetType::Sound && a.index < static_cast<int>(sounds.size())) sounds[a.index] = nullptr;
    }
    ReadArt(backgrounds, faceSets, sounds, backgrounds_, faceSets_, sounds_);
    ReadCommands(*m, backgroundNumbers, faceSets, scenes_);
}

namespace {

void ReadArt(const std::vector<const BackgroundImage *> &backgrounds, const std::vector<const FaceSet *> &faceSets,
             const std::vector<const SoundSample *> &sounds, std::vector<std::optional<PictureArt>> &backgrounds_,
             std::vector<std::optional<FaceSetArt>> &faceSets_, std::vector<std::optional<SoundArt>> &sounds_)
{
    for (const BackgroundImage *b : backgrounds) {
        if (!b) {
            backgrounds_.emplace_back();
            continue;
        }
        const size_t count = size_t{b->width} * b->height;
        backgrounds_.push_back(PictureArt{
            b->width, b->height, b->pixels ? std::span<const uint8_t>(b->pixels, count) : std::span<const uint8_t>(),
            Colors(b->colors, static_cast<int>(b->colorCount)), static_cast<int>(b->colorCount)});
    }
    for (const FaceSet *set : faceSets) {
        if (!set) {
            faceSets_.emplace_back();
            continue;
        }
        FaceSetArt art{Colors(set->colors, set->colorCount), set->colorCount, set->imageCount, {}};
        int face = 1;
        for (const FaceImage *image = set->images; image && face <= set->imageCount; image = image->next, ++face) {
            const size_t count = size_t{image->width} * image->height;
            art.faces.push_back(
                {image->width, image->height, image->offsetX, image->offsetY,
                 image->pixels ? std::span<const uint8_t>(image->pixels, count) : std::span<const uint8_t>()});
        }
        faceSets_.push_back(std::move(art));
    }
    for (const SoundSample *sound : sounds) {
        if (!sound) {
            sounds_.emplace_back();
            continue;
        }
        sounds_.push_back(SoundArt{std::span<const int8_t>(sound->data, sound->data ? sound->length : 0), sound->length,
                                   sound->samplesPerSecond});
    }
}

void ReadCommands(const MovieHandle &m, const std::unordered_map<const BackgroundImage *, int> &backgroundNumbers,
                  const std::vector<const FaceSet *> &faceSets, std::vector<SceneEntry> &scenes_)
{
    // A placement names its face by pixels; among the loaded sets the last to hold them names it.
    std::unordered_map<const uint8_t *, std::pair<int, int>> faceOfPixels;
    for (size_t n = 0; n < faceSets.size(); ++n) {
        const FaceSet *set = faceSets[n];
        if (!set) continue;
        int face = 1;
        for (const FaceImage *image = set->images; image && face <= set->imageCount; image = image->next, ++face)
            if (image->pixels) faceOfPixels[image->pixels] = {static_cast<int>(n), face};
    }
    for (SceneEntry &scene : scenes_) {
        const SceneRecord &s = m.scenes[scene.number];
        SceneCommands &c = scene.commands;
        if (s.background == m.noBackground && s.background) c.background = SceneCommands::NoBackground;
        else c.background = NumberOf(backgroundNumbers, static_cast<const BackgroundImage *>(s.background));
        c.hasPalette = s.palette != nullptr;
        c.ownPalette = s.paletteOwned != 0;
        c.paletteCount = s.paletteCount;
        c.paletteIsBackgrounds = s.palette && s.background && s.palette == s.background->colors;
        c.backgroundColors = s.background ? static_cast<int>(s.background->colorCount) : 0;
        if (s.palette && s.paletteCount == qfhost::ScenePaletteColors)
            c.palette.assign(s.palette, s.palette + 3 * qfhost::ScenePaletteColors);
        for (int k = 0; k < CycleCount; ++k)
            c.cycles[k] = {s.cycles[k].command, s.cycles[k].low, s.cycles[k].high, s.cycles[k].direction};
        if (s.scroll)
            c.scroll =
                ScrollEntry{s.scroll->horizontal != 0, s.scroll->velocity, s.scroll->acceleration, s.scroll->limit};
        for (int layer = 0; layer < LayerCount; ++layer) {
            std::vector<const SpritePlacement *> placed;
            for (const SpritePlacement *p = s.layers[layer]; p; p = p->next) placed.push_back(p);
            // Each placement goes to the front of its layer's list: the stream placed them in reverse.
            for (auto it = placed.rbegin(); it != placed.rend(); ++it) {
                const SpritePlacement *p = *it;
                if (!p->pixels) continue;  // draws nothing
                PlacementEntry entry{layer, p->x, p->y};
                if (auto found = faceOfPixels.find(p->pixels); found != faceOfPixels.end())
                    entry.faceSet = found->second.first, entry.face = found->second.second;
                c.placements.push_back(entry);
            }
        }
    }
}

}  // namespace

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

template <typename Art>
static const Art *At(const std::vector<std::optional<Art>> &art, int index)
{
    return index >= 0 && index < static_cast<int>(art.size()) && art[index] ? &*art[index] : nullptr;
}

const PictureArt *Survey::background(int index) const { return At(backgrounds_, index); }
const FaceSetArt *Survey::faceSet(int index) const { return At(faceSets_, index); }
const SoundArt *Survey::sound(int index) const { return At(sounds_, index); }

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
