#include "authoring/movie_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "quillframer/movie_format.h"
#include "qfutil/output.hpp"

namespace qfauthor {

namespace {
constexpr double AmigaPalClock = QF_AMIGA_PAL_CLOCK;
}  // namespace

uint16_t AmigaColor(uint8_t red, uint8_t green, uint8_t blue)
{
    return static_cast<uint16_t>(((red >> 4) << 8) | ((green >> 4) << 4) | (blue >> 4));
}

uint16_t PeriodForRate(double samplesPerSecond)
{
    if (samplesPerSecond <= 0) return 0;
    double period = std::round(AmigaPalClock / (2.0 * samplesPerSecond));
    return static_cast<uint16_t>(std::clamp(period, 55.0, 65535.0));
}

uint32_t RateForPeriod(uint16_t period)
{
    if (period == 0) return 0;
    if (period < 55) return 65535;
    return static_cast<uint32_t>(AmigaPalClock / (2.0 * period));
}

MovieWriter::MovieWriter(bool sceneEditorSignature)
{
    const char *signature = sceneEditorSignature ? QF_SIGNATURE_SCENE_EDITOR : QF_SIGNATURE_QUILLFRAMER;
    bytes_.assign(QF_FIRST_COMMAND_OFFSET, 0);
    std::memcpy(bytes_.data(), signature, QF_SIGNATURE_LENGTH);
}

void MovieWriter::command(char letter) { bytes_.push_back(static_cast<uint8_t>(letter)); }

void MovieWriter::u16(uint16_t value)
{
    bytes_.push_back(static_cast<uint8_t>(value >> 8));
    bytes_.push_back(static_cast<uint8_t>(value));
}

void MovieWriter::text(const std::string &value, size_t field)
{
    if (value.size() >= field)
        throw std::invalid_argument("text too long for its " + std::to_string(field) + "-byte field: " + value);
    bytes_.insert(bytes_.end(), value.begin(), value.end());
    bytes_.insert(bytes_.end(), field - value.size(), 0);
}

MovieWriter &MovieWriter::scenes(uint16_t count)
{
    command('w');
    u16(count);
    return *this;
}

MovieWriter &MovieWriter::scene(uint16_t index)
{
    command('c');
    bytes_.insert(bytes_.end(), 8, 0);
    u16(index);
    return *this;
}

MovieWriter &MovieWriter::duration(uint16_t ticks)
{
    command('i');
    u16(ticks);
    return *this;
}

MovieWriter &MovieWriter::background(uint16_t index)
{
    command('f');
    u16(index);
    u16(0);
    return *this;
}

MovieWriter &MovieWriter::palette(const std::array<uint16_t, 32> &amigaColors)
{
    command('l');
    for (uint16_t colour : amigaColors) u16(colour);
    return *this;
}

MovieWriter &MovieWriter::scroll(int16_t velocity, int16_t limit, int16_t acceleration, bool horizontal)
{
    command('g');
    u16(static_cast<uint16_t>(velocity));
    u16(static_cast<uint16_t>(limit));
    u16(static_cast<uint16_t>(acceleration));
    u16(horizontal ? 0 : 1);
    return *this;
}

MovieWriter &MovieWriter::sound(uint16_t index, uint16_t volume, uint16_t period, uint16_t channelMask)
{
    command('h');
    u16(index);
    u16(0);
    u16(volume);
    u16(period);
    u16(channelMask);
    return *this;
}

MovieWriter &MovieWriter::cycles(const std::array<CycleRange, 4> &ranges)
{
    command('k');
    for (const auto &r : ranges) u16(r.low);
    for (const auto &r : ranges) u16(r.high);
    for (size_t i = 0; i < ranges.size(); ++i) u16(0);  // rate field, unused by playback
    for (const auto &r : ranges) u16(r.direction);
    for (const auto &r : ranges) u16(r.command);
    return *this;
}

MovieWriter &MovieWriter::faceSet(uint16_t index, int16_t originX, int16_t originY)
{
    command('d');
    bytes_.insert(bytes_.end(), 32, 0);
    u16(index);
    u16(static_cast<uint16_t>(originX));
    u16(static_cast<uint16_t>(originY));
    bytes_.insert(bytes_.end(), 4, 0);
    return *this;
}

MovieWriter &MovieWriter::sprite(uint16_t face, int16_t dx, int16_t dy, uint16_t layer)
{
    command('e');
    u16(face);
    u16(static_cast<uint16_t>(dx));
    u16(static_cast<uint16_t>(dy));
    u16(layer);
    bytes_.insert(bytes_.end(), 4, 0);
    return *this;
}

MovieWriter &MovieWriter::embedded()
{
    command('y');
    return *this;
}

static char LoadCommand(Asset kind) { return kind == Asset::Background ? 'a' : kind == Asset::FaceSet ? 'b' : 'j'; }

MovieWriter &MovieWriter::load(Asset kind, const Bytes &file, const std::string &amigaDir, const std::string &name)
{
    command(LoadCommand(kind));
    text(amigaDir, 256);
    text(name, 32);
    bytes_.insert(bytes_.end(), file.begin(), file.end());
    return *this;
}

MovieWriter &MovieWriter::reference(Asset kind, const std::string &amigaDir, const std::string &name)
{
    command(LoadCommand(kind));
    text(amigaDir, 256);
    text(name, 32);
    return *this;
}

MovieWriter &MovieWriter::nothing(char letter)
{
    size_t payload = letter == 'm' ? 10 : letter == 'v' ? 26 : letter == 'x' ? 32 : 0;
    if (payload == 0 && (letter < 'n' || letter > 'u')) throw std::invalid_argument("not a no-op command");
    command(letter);
    bytes_.insert(bytes_.end(), payload, 0);
    return *this;
}

MovieWriter &MovieWriter::end()
{
    command('z');
    return *this;
}

MovieWriter &MovieWriter::raw(const Bytes &bytes)
{
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

void MovieWriter::save(const std::filesystem::path &path) const { qfutil::WriteFile(path, bytes_); }

std::filesystem::path ReferencedAssetPath(const std::filesystem::path &volumeDirectory, const std::string &amigaDir,
                                          const std::string &name)
{
    auto colon = amigaDir.find(':');
    std::string tail = colon == std::string::npos ? amigaDir : amigaDir.substr(colon + 1);
    std::filesystem::path dir = volumeDirectory;
    if (!tail.empty()) dir /= tail;
    return dir / name;
}

std::filesystem::path WriteReferencedAsset(const std::filesystem::path &volumeDirectory, const std::string &amigaDir,
                                           const std::string &name, const Bytes &file)
{
    auto path = ReferencedAssetPath(volumeDirectory, amigaDir, name);
    std::filesystem::create_directories(path.parent_path());
    qfutil::WriteFile(path, file);
    return path;
}

}  // namespace qfauthor
