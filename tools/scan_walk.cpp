// quillframer scan: one top-level file of a collection, recognised by its first bytes, and every
// container inside it walked the same way, within the nesting limits.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "qfhost/adf.hpp"
#include "qfhost/volume_files.hpp"
#include "scan.hpp"

namespace qftools::scan {
namespace {

namespace fs = std::filesystem;
using qfhost::Volume;
using qfhost::VolumeEntry;
using qfhost::VolumeError;

// Enough for a disk image's boot and root checks (16 blocks) and any signature.
constexpr size_t headBytes = 16 * 512;

enum class Kind {
    Other,
    Movie,
    Picture,
    FaceSet,
    Sound,
    Container
};

Kind Recognise(std::span<const uint8_t> head, uint64_t size)
{
    if (qfhost::HasMovieSignature(head)) return Kind::Movie;
    if (head.size() >= 12 && std::memcmp(head.data(), "FORM", 4) == 0) {
        const std::string type(reinterpret_cast<const char *>(head.data()) + 8, 4);
        if (type == "ILBM" || type == "PBM ") return Kind::Picture;
        if (type == "FACS" || type == "PALT") return Kind::FaceSet;
        if (type == "8SVX") return Kind::Sound;
        return Kind::Other;
    }
    return qfhost::DetectContent(head, size) ? Kind::Container : Kind::Other;
}

class Walker {
public:
    Walker(UnitFinds &finds, const qfhost::NestLimits &limits) : finds_(finds), budget_(limits) {}

    void count(Kind kind)
    {
        ++finds_.files;
        if (kind == Kind::Picture) ++finds_.pictures;
        if (kind == Kind::FaceSet) ++finds_.faceSets;
        if (kind == Kind::Sound) ++finds_.sounds;
    }

    // Everything on a volume; the first damage met names the container. Each partition of a
    // hard-disk image is a volume of its own, at IMAGE:DRIVE.
    void volume(const Volume &volume, const Location &at)
    {
        ++finds_.containers;
        const qfhost::AdfImage *disk = volume.disk();
        if (!disk || disk->partitions().empty()) return contents(volume, at);
        for (const qfhost::AdfPartition &p : disk->partitions()) {
            const Location place = at + ":" + qfhost::Latin1ToUtf8(p.drive);
            try {
                if (!p.problem.empty()) throw VolumeError(p.problem);
                if (std::unique_ptr<Volume> part = volume.partition(p.drive)) contents(*part, place);
            } catch (const VolumeError &error) {
                finds_.damage.push_back({place, error.what()});
            }
        }
    }

    void contents(const Volume &volume, const Location &at)
    {
        if (volume.kind() == qfhost::VolumeKind::DiskImage) finds_.labels.push_back({volume.label(), at});
        std::string damage;
        int damaged = 0;
        auto note = [&](const std::string &why) {
            if (damaged++ == 0) damage = why;
        };
        try {
            volume.walk([&](const VolumeEntry &e) {
                budget_.member();
                if (e.directory || e.link) return true;
                const std::string inside = qfhost::Latin1ToUtf8(e.path);
                if (!e.damage.empty()) {
                    note(inside + ": " + e.damage);
                    return true;
                }
                try {
                    member(volume, e, at + ":" + inside);
                } catch (const VolumeError &error) {
                    note(inside + ": " + error.what());
                }
                return true;
            });
        } catch (const VolumeError &error) {
            note(error.what());
        }
        if (damaged > 1) damage += " (and " + std::to_string(damaged - 1) + " more)";
        if (damaged) finds_.damage.push_back({at, damage});
    }

    void member(const Volume &volume, const VolumeEntry &e, const Location &at)
    {
        const std::vector<uint8_t> head = volume.head(e, headBytes);
        finds_.bytesRead += head.size();
        const Kind kind = Recognise(head, e.size);
        count(kind);
        if (kind == Kind::Movie) {
            Sha256 hash;
            uint64_t size = 0;
            volume.copy(e, [&](std::span<const uint8_t> piece) {
                hash.add(piece.data(), piece.size());
                size += piece.size();
            });
            finds_.bytesRead += size;
            finds_.movies.push_back({hash.hex(), at, size});
        } else if (kind == Kind::Container) {
            // A container that cannot be opened is a damaged container of its own, not of its parent.
            std::unique_ptr<Volume> inner;
            try {
                qfhost::NestBudget::Level level(budget_);
                inner = qfhost::OpenMember(volume, e, at, budget_);
                if (inner) this->volume(*inner, at);
            } catch (const VolumeError &error) {
                finds_.damage.push_back({at, error.what()});
            }
        }
    }

    UnitFinds &finds_;
    qfhost::NestBudget budget_;
};

std::string Errno(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

UnitFinds ScanUnit(const fs::path &file, size_t root, const Location &unit, const qfhost::NestLimits &limits)
{
    UnitFinds finds;
    finds.root = root;
    finds.unit = unit;
    Walker walker(finds, limits);
    qfhost::FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        finds.damage.push_back({unit, Errno("cannot read")});
        return finds;
    }
    std::vector<uint8_t> head(headBytes);
    ssize_t got = ::pread(fd.get(), head.data(), head.size(), 0);
    if (got < 0) {
        finds.damage.push_back({unit, Errno("cannot read")});
        return finds;
    }
    head.resize(size_t(got));
    finds.bytesRead += head.size();
    const Kind kind = Recognise(head, uint64_t(st.st_size));
    walker.count(kind);
    if (kind == Kind::Movie) {
        Sha256 hash;
        hash.add(head.data(), head.size());
        std::vector<uint8_t> buffer(1 << 16);
        uint64_t size = head.size();
        for (off_t at = got; got > 0; at += got) {
            got = ::pread(fd.get(), buffer.data(), buffer.size(), at);
            if (got < 0) {
                finds.damage.push_back({unit, Errno("cannot read")});
                return finds;
            }
            hash.add(buffer.data(), size_t(got));
            size += uint64_t(got);
        }
        finds.bytesRead += size - head.size();
        finds.movies.push_back({hash.hex(), unit, size});
    } else if (kind == Kind::Container) {
        try {
            std::unique_ptr<Volume> volume = Volume::Open(file);
            walker.volume(*volume, unit);
        } catch (const VolumeError &error) {
            finds.damage.push_back({unit, error.what()});
        }
    }
    return finds;
}

nlohmann::ordered_json ToJson(const UnitFinds &f)
{
    nlohmann::ordered_json j{{"root", f.root}, {"unit", f.unit}};
    j["movies"] = nlohmann::json::array();
    for (const MovieFound &m : f.movies)
        j["movies"].push_back({{"sha256", m.sha256}, {"location", m.location}, {"size", m.size}});
    j["labels"] = nlohmann::json::array();
    for (const LabelFound &l : f.labels) j["labels"].push_back({{"label", l.label}, {"location", l.location}});
    j["damage"] = nlohmann::json::array();
    for (const Damage &d : f.damage) j["damage"].push_back({{"location", d.location}, {"reason", d.reason}});
    j["files"] = f.files;
    j["containers"] = f.containers;
    j["pictures"] = f.pictures;
    j["faceSets"] = f.faceSets;
    j["sounds"] = f.sounds;
    j["bytesRead"] = f.bytesRead;
    return j;
}

UnitFinds UnitFromJson(const nlohmann::json &j)
{
    UnitFinds f;
    f.root = j.at("root").get<size_t>();
    f.unit = j.at("unit").get<std::string>();
    for (const auto &m : j.at("movies"))
        f.movies.push_back(
            {m.at("sha256").get<std::string>(), m.at("location").get<std::string>(), m.at("size").get<uint64_t>()});
    for (const auto &l : j.at("labels"))
        f.labels.push_back({l.at("label").get<std::string>(), l.at("location").get<std::string>()});
    for (const auto &d : j.at("damage"))
        f.damage.push_back({d.at("location").get<std::string>(), d.at("reason").get<std::string>()});
    f.files = j.at("files").get<uint64_t>();
    f.containers = j.at("containers").get<uint64_t>();
    f.pictures = j.at("pictures").get<uint64_t>();
    f.faceSets = j.at("faceSets").get<uint64_t>();
    f.sounds = j.at("sounds").get<uint64_t>();
    f.bytesRead = j.value("bytesRead", uint64_t(0));
    return f;
}

// FIPS 180-4, one 64-byte block at a time.
namespace {
constexpr uint32_t roundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
}  // namespace

Sha256::Sha256() : h_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::block(const uint8_t *p)
{
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t t1 =
            h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) + ((e & f) ^ (~e & g)) + roundConstants[i] + w[i];
        const uint32_t t2 = (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e, h_[5] += f, h_[6] += g, h_[7] += h;
}

void Sha256::add(const uint8_t *data, size_t size)
{
    total_ += size;
    while (size) {
        const size_t take = std::min(size, sizeof buffer_ - used_);
        std::memcpy(buffer_ + used_, data, take);
        used_ += take, data += take, size -= take;
        if (used_ == sizeof buffer_) block(buffer_), used_ = 0;
    }
}

std::string Sha256::hex()
{
    const uint64_t bits = total_ * 8;
    const uint8_t one = 0x80, zero = 0;
    add(&one, 1);
    while (used_ != 56) add(&zero, 1);
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = uint8_t(bits >> (56 - 8 * i));
    add(length, 8);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint32_t word : h_)
        for (int shift = 28; shift >= 0; shift -= 4) out += digits[(word >> shift) & 15];
    return out;
}

}  // namespace qftools::scan
