// LHA/LZH archives as volumes, through liblhasa. The members are listed once; a member is
// decompressed into memory when it is opened, and its CRC checked.
#include <algorithm>
#include <memory>

extern "C" {
#include <lhasa.h>
}

#include "host_state.hpp"
#include "qfhost/lha.hpp"
#include "qfhost/volume.hpp"

namespace qfhost {
namespace fs = std::filesystem;

uint16_t LhaCrc16(std::span<const uint8_t> bytes)
{
    uint16_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

namespace {

struct StreamCloser {
    void operator()(LHAInputStream *s) const { lha_input_stream_free(s); }
};
struct ReaderCloser {
    void operator()(LHAReader *r) const { lha_reader_free(r); }
};

// A member's path with its directory, without leading "./" or slashes and without a trailing slash.
std::string MemberPath(const LHAFileHeader &h)
{
    std::string path = h.path ? h.path : "";
    if (h.filename) path += (path.empty() || path.back() == '/' ? "" : "/") + std::string(h.filename);
    while (path.starts_with("./") || path.starts_with("/")) path.erase(0, path.front() == '/' ? 1 : 2);
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

class ArchiveVolume : public Volume {
public:
    ArchiveVolume(const fs::path &location, const VolumeLimits &limits) : location_(location), limits_(limits)
    {
        forEachMember([&](LHAReader *, const LHAFileHeader &h) {
            VolumeEntry e;
            e.path = MemberPath(h);
            e.directory = std::string_view(h.compress_method) == LHA_COMPRESS_TYPE_DIR && !h.symlink_target;
            e.link = h.symlink_target != nullptr;
            if (e.link) e.linkTarget = h.symlink_target;
            e.size = e.directory || e.link ? 0 : h.length;
            e.modified = std::time_t(h.timestamp);
            if (!e.path.empty()) entries_.push_back(std::move(e));
            return false;
        });
    }

    VolumeKind kind() const override { return VolumeKind::Archive; }
    std::string label() const override { return location_.stem().string(); }
    void walk(const EntryVisitor &visit) const override
    {
        for (const VolumeEntry &e : entries_)
            if (!visit(e)) return;
    }

    std::vector<uint8_t> head(const VolumeEntry &file, size_t count) const override
    {
        std::vector<uint8_t> bytes = open(file.path).bytes;
        bytes.resize(std::min(bytes.size(), count));
        return bytes;
    }

    void copy(const VolumeEntry &file, const ByteSink &sink) const override { sink(open(file.path).bytes); }

    VolumeFile open(std::string_view inside) const override
    {
        std::string wanted = Normal(inside), chosen;
        // The exact name, else the smallest that differs only in case.
        for (const VolumeEntry &e : entries_) {
            if (e.directory || e.link || CompareIgnoringCase(e.path, wanted) != 0) continue;
            if (e.path == wanted) {
                chosen = e.path;
                break;
            }
            if (chosen.empty() || e.path < chosen) chosen = e.path;
        }
        if (chosen.empty()) throw VolumeError("no member \"" + wanted + "\" in the archive");
        VolumeFile file;
        bool found = forEachMember([&](LHAReader *reader, const LHAFileHeader &h) {
            if (MemberPath(h) != chosen || std::string_view(h.compress_method) == LHA_COMPRESS_TYPE_DIR) return false;
            file.bytes.resize(h.length);
            size_t got = 0;
            while (got < h.length) {
                size_t n = lha_reader_read(reader, file.bytes.data() + got, h.length - got);
                if (n == 0) break;
                got += n;
            }
            if (got != h.length || LhaCrc16(file.bytes) != h.crc)
                throw VolumeError("archive member \"" + chosen + "\" is damaged (" +
                                  (got != h.length ? "cut short" : "its CRC does not match") + ")");
            return true;
        });
        if (!found) throw VolumeError("no member \"" + wanted + "\" in the archive");
        return file;
    }

private:
    static std::string Normal(std::string_view inside)
    {
        std::string s;
        for (char c : inside)
            if (c != '/' || (!s.empty() && s.back() != '/')) s += c;
        while (!s.empty() && s.back() == '/') s.pop_back();
        return s;
    }

    // Walks the member headers from the start until visit returns true; false at the end.
    template <typename Visit>
    bool forEachMember(Visit visit) const
    {
        std::string name = location_.string();
        std::unique_ptr<LHAInputStream, StreamCloser> stream(lha_input_stream_from(name.data()));
        if (!stream) throw VolumeError("cannot open archive \"" + name + "\"");
        std::unique_ptr<LHAReader, ReaderCloser> reader(lha_reader_new(stream.get()));
        if (!reader) throw VolumeError("cannot read archive \"" + name + "\"");
        lha_reader_set_dir_policy(reader.get(), LHA_READER_DIR_PLAIN);
        while (LHAFileHeader *h = lha_reader_next_file(reader.get()))
            if (visit(reader.get(), *h)) return true;
        return false;
    }

    fs::path location_;
    VolumeLimits limits_;
    std::vector<VolumeEntry> entries_;
};

}  // namespace

std::unique_ptr<Volume> OpenArchiveVolume(const fs::path &archive, const VolumeLimits &limits)
{
    return std::make_unique<ArchiveVolume>(archive, limits);
}

}  // namespace qfhost
