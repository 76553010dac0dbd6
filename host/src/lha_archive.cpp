// LHA/LZH archives as volumes, through liblhasa. The member headers are read once, when the volume
// opens; a member is then decoded from its own header's place, in pieces, and only as far as it is
// used. Nothing is allocated by what a header declares.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

extern "C" {
#include <lhasa.h>
}

#include "qfhost/lha.hpp"
#include "qfhost/name_rules.hpp"
#include "qfutil/printable.hpp"
#include "qfhost/volume.hpp"
#include "volume_open.hpp"

namespace qfhost {
namespace fs = std::filesystem;

uint16_t LhaCrc16(std::span<const uint8_t> bytes, uint16_t crc)
{
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

std::optional<LhaSizes> LhaExtendedSizes(std::span<const uint8_t> header)
{
    if (header.size() < 21) return std::nullopt;
    // Level 2 headers chain 16-bit-sized extended headers from byte 24, level 3 32-bit ones from 28.
    unsigned level = header[20];
    size_t field = level == 3 ? 4 : 2, at = level == 3 ? 28 : 24;
    if (level != 2 && level != 3) return std::nullopt;
    auto le = [&](size_t from, size_t bytes) {
        uint64_t v = 0;
        for (size_t i = 0; i < bytes; ++i) v |= uint64_t(header[from + i]) << (8 * i);
        return v;
    };
    std::optional<LhaSizes> sizes;
    while (at + field <= header.size()) {
        uint64_t size = le(at, field);
        if (size == 0 || size < field + 1 || size > header.size() - at) break;
        if (header[at + field] == LhaSizeHeader && size - field - 1 >= 16)
            sizes = LhaSizes{le(at + field + 1, 8), le(at + field + 9, 8)};
        at += size;
    }
    return sizes;
}

// An archive made on Unix holds UTF-8 names: those within Latin-1 come out as written; anything
// else stays as stored.
std::string Utf8AsLatin1(const std::string &name)
{
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        auto c = uint8_t(name[i]);
        if (c < 0x80) {
            out += char(c);
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < name.size() && (uint8_t(name[i + 1]) & 0xC0) == 0x80) {
            out += char((c & 0x03) << 6 | (uint8_t(name[++i]) & 0x3F));
        } else {
            return name;
        }
    }
    return out;
}

bool BeyondLatin1(std::string_view name)
{
    bool beyond = false;
    for (size_t i = 0; i < name.size();) {
        auto c = uint8_t(name[i]);
        size_t more = c < 0x80                 ? 0
                      : c >= 0xC2 && c <= 0xDF ? 1
                      : c >= 0xE0 && c <= 0xEF ? 2
                      : c >= 0xF0 && c <= 0xF4 ? 3
                                               : 9;
        if (more == 9 || name.size() - i <= more) return false;
        for (size_t k = 1; k <= more; ++k)
            if ((uint8_t(name[i + k]) & 0xC0) != 0x80) return false;
        if (c >= 0xC4) beyond = true;  // U+0100 and above
        i += more + 1;
    }
    return beyond;
}

namespace {

// Code page 437, the encoding of names written on MS-DOS: its upper half in Unicode.
constexpr uint16_t cp437[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

void PutUtf8(std::string &out, uint32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | c >> 6), out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xE0 | c >> 12), out += char(0x80 | (c >> 6 & 0x3F)), out += char(0x80 | (c & 0x3F));
    }
}

// An MS-DOS name in Latin-1 when each of its characters has a place there, else in UTF-8 (utf8 set).
// liblhasa gives a name MS-DOS kept in capitals with its ASCII letters lowered: its accented
// capitals are lowered with them, so "CAF\x90" is "café", not "cafÉ".
std::string Cp437Name(const std::string &name, bool &utf8)
{
    const bool lowered = std::any_of(name.begin(), name.end(), [](char c) { return c >= 'a' && c <= 'z'; }) &&
                         std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
    std::string latin1, unicode;
    utf8 = false;
    for (char ch : name) {
        auto c = uint8_t(ch);
        uint32_t u = c < 0x80 ? c : cp437[c - 0x80];
        if (lowered && ((u >= 0xC0 && u <= 0xDE && u != 0xD7))) u += 0x20;
        if (u > 0xFF) utf8 = true;
        latin1 += char(u);
        PutUtf8(unicode, u);
    }
    return utf8 ? unicode : latin1;
}

// Whether a header's name was written on MS-DOS: its OS id says so, or it has none (levels 0 and
// 1) and its stored name has no lower-case letter, as MS-DOS keeps names; Amiga archivers wrote
// headers without an id too, with Latin-1 names in mixed case. The stored name, as liblhasa lowers
// the one it gives.
bool WrittenOnMsDos(const LHAFileHeader &h)
{
    if (h.os_type == LHA_OS_TYPE_MSDOS) return true;
    if (h.os_type != LHA_OS_TYPE_UNKNOWN || h.header_level >= 2 || h.raw_data_len < 22) return false;
    const uint8_t *name = h.raw_data + 22;
    const size_t length = std::min<size_t>(h.raw_data[21], h.raw_data_len - 22);
    return std::none_of(name, name + length, [](uint8_t c) { return c >= 'a' && c <= 'z'; });
}

struct StreamCloser {
    void operator()(LHAInputStream *s) const { lha_input_stream_free(s); }
};
struct ReaderCloser {
    void operator()(LHAReader *r) const { lha_reader_free(r); }
};

// A member's path without leading "./" or slashes and without a trailing slash.
std::string MemberPath(std::string path)
{
    while (path.starts_with("./") || path.starts_with("/")) path.erase(0, path.front() == '/' ? 1 : 2);
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}
std::string MemberPath(const LHAFileHeader &h)
{
    std::string path = h.path ? h.path : "";
    if (h.filename) path += (path.empty() || path.back() == '/' ? "" : "/") + std::string(h.filename);
    return MemberPath(std::move(path));
}

// The archive's bytes through a read-ahead buffer: the index reads thousands of small headers in
// order, and liblhasa asks for a few bytes at a time.
class Source {
public:
    Source(int fd, uint64_t size, size_t ahead) : fd_(fd), size_(size), buffer_(ahead) {}
    uint64_t size() const { return size_; }

    // Up to count bytes at offset, fewer at the end of the file; -1 when it cannot be read.
    ssize_t read(uint64_t offset, uint8_t *out, size_t count)
    {
        if (offset >= size_) return 0;
        count = size_t(std::min<uint64_t>(count, size_ - offset));
        if (offset < start_ || offset + count > start_ + held_) {
            if (count >= buffer_.size()) return Pread(out, count, offset);
            ssize_t n = Pread(buffer_.data(), size_t(std::min<uint64_t>(buffer_.size(), size_ - offset)), offset);
            if (n < 0) return -1;
            start_ = offset, held_ = size_t(n);
            count = std::min(count, held_);
        }
        std::memcpy(out, buffer_.data() + (offset - start_), count);
        return ssize_t(count);
    }
    bool readAll(uint64_t offset, uint8_t *out, size_t count) { return read(offset, out, count) == ssize_t(count); }

private:
    ssize_t Pread(uint8_t *out, size_t count, uint64_t offset) const
    {
        size_t got = 0;
        while (got < count) {
            ssize_t n = ::pread(fd_, out + got, count - got, off_t(offset + got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return -1;
            if (n == 0) break;
            got += size_t(n);
        }
        return ssize_t(got);
    }

    int fd_;
    uint64_t size_;
    std::vector<uint8_t> buffer_;
    uint64_t start_ = 0;
    size_t held_ = 0;
};

// The bytes of the archive from one place on, as liblhasa reads them: a member is reached by its
// offset, without reading what lies before it.
struct Window {
    Source &source;
    uint64_t at;
    bool failed = false;

    static int Read(void *handle, void *buffer, size_t count)
    {
        auto *w = static_cast<Window *>(handle);
        ssize_t n = w->source.read(w->at, static_cast<uint8_t *>(buffer), std::min<size_t>(count, INT_MAX));
        if (n < 0) w->failed = true;
        if (n > 0) w->at += uint64_t(n);
        return int(n);
    }
    static int Skip(void *handle, size_t count)
    {
        auto *w = static_cast<Window *>(handle);
        if (count > w->source.size() - std::min(w->at, w->source.size())) {
            w->at = w->source.size();
            return 0;
        }
        w->at += count;
        return 1;
    }
};
const LHAInputStreamType WindowType{Window::Read, Window::Skip, nullptr};

// Whether liblhasa takes the bytes here for a header. Where it does not, it looks up to 64 KB
// further for one (self-extracting archives), and would read a member from the wrong place.
bool LhasaStartsHere(const uint8_t (&b)[7])
{
    if (b[2] != '-' || b[6] != '-') return false;
    std::string_view family(reinterpret_cast<const char *>(b + 3), 2);
    return family == "lh" || (family == "lz" && (b[5] == '4' || b[5] == '5' || b[5] == 's')) ||
           (family == "pm" && b[5] != 's');
}

// The stub of a self-extracting archive: an Amiga executable (HUNK_HEADER) or an MS-DOS one.
bool IsExecutable(const uint8_t (&b)[7])
{
    return (b[0] == 0 && b[1] == 0 && b[2] == 0x03 && b[3] == 0xF3) || (b[0] == 'M' && b[1] == 'Z');
}

// How far lhasa looks past such a stub for the first header.
constexpr uint64_t StubReach = uint64_t(1) << 16;

// liblhasa positioned on the header at a given offset; no header when there is none right there.
class MemberReader {
public:
    MemberReader(Source &source, uint64_t offset) : window_{source, offset}
    {
        uint8_t start[7];
        // It also needs 13 bytes to recognise a header.
        if (source.size() - offset < 13 || !source.readAll(offset, start, sizeof start) || !LhasaStartsHere(start))
            return;
        stream_.reset(lha_input_stream_new(&WindowType, &window_));
        if (stream_) reader_.reset(lha_reader_new(stream_.get()));
        if (!reader_) throw std::bad_alloc();
        lha_reader_set_dir_policy(reader_.get(), LHA_READER_DIR_PLAIN);
        header_ = lha_reader_next_file(reader_.get());
    }
    MemberReader(const MemberReader &) = delete;
    MemberReader &operator=(const MemberReader &) = delete;

    const LHAFileHeader *header() const { return header_; }
    size_t read(uint8_t *buffer, size_t count) { return header_ ? lha_reader_read(reader_.get(), buffer, count) : 0; }
    bool failed() const { return window_.failed; }

private:
    Window window_;
    std::unique_ptr<LHAInputStream, StreamCloser> stream_;
    std::unique_ptr<LHAReader, ReaderCloser> reader_;
    LHAFileHeader *header_ = nullptr;
};

// An MS-DOS time stamp (levels 0 and 1) in local time, as liblhasa reads it for the other members.
std::time_t MsDosTime(uint32_t raw)
{
    if (raw == 0) return 0;
    std::tm t{};
    t.tm_sec = int(raw << 1 & 0x3E), t.tm_min = int(raw >> 5 & 0x3F), t.tm_hour = int(raw >> 11 & 0x1F);
    t.tm_mday = int(raw >> 16 & 0x1F), t.tm_mon = int(raw >> 21 & 0xF) - 1, t.tm_year = 80 + int(raw >> 25 & 0x7F);
    t.tm_isdst = -1;
    return std::mktime(&t);
}

// What the index keeps of a member, beside its entry.
struct Member {
    VolumeEntry entry;
    uint64_t offset = 0;  // of its header
    uint64_t length = 0;  // declared, 64-bit where the header has the extended size
    uint16_t crc = 0;
    bool file = false;   // has data to decode (not a directory or link)
    bool empty = false;  // a zero-length -lh0- (or other method) entry: maybe a folder
};

// Read ahead of a member's decoder: enough for most headers and a signature in one read.
constexpr size_t MemberAhead = size_t(1) << 14;

class ArchiveVolume : public Volume {
public:
    ArchiveVolume(const fs::path &location, const VolumeLimits &limits) : location_(location), limits_(limits)
    {
        descriptor_ = FileDescriptor(::open(location.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat info {};
        if (!descriptor_ || ::fstat(descriptor_.get(), &info) != 0)
            throw VolumeError("cannot open archive \"" + location.string() + "\"");
        size_ = uint64_t(info.st_size);
        index();
    }

    VolumeKind kind() const override { return VolumeKind::Archive; }
    std::string label() const override { return location_.stem().string(); }
    std::string fileSystem() const override { return "LHA archive"; }

    void walk(const EntryVisitor &visit) const override
    {
        for (const Member &m : members_)
            if (!visit(m.entry)) return;
        if (damage_) throw VolumeError(*damage_);
    }

    std::vector<uint8_t> head(const VolumeEntry &file, size_t count) const override
    {
        const Member &m = walked(file);
        std::vector<uint8_t> bytes;
        Source source(descriptor_.get(), size_, MemberAhead);
        MemberReader reader(source, m.offset);
        expect(reader, m);
        count = size_t(std::min<uint64_t>(count, m.length));
        bytes.resize(count);
        size_t got = 0;
        while (got < count) {
            size_t n = reader.read(bytes.data() + got, count - got);
            if (n == 0) break;
            got += n;
        }
        bytes.resize(got);
        return bytes;
    }

    void copy(const VolumeEntry &file, const ByteSink &sink) const override { decode(walked(file), sink); }

    VolumeFile open(std::string_view inside) const override
    {
        std::string wanted = Normal(inside);
        auto exact = exact_.find(wanted);
        size_t index = exact != exact_.end() ? exact->second : members_.size();
        if (exact == exact_.end()) {
            auto folded = folded_.find(wanted);
            if (folded != folded_.end()) index = folded->second;
        }
        if (index == members_.size()) {
            // The member may lie past the damage.
            if (damage_) throw VolumeError(*damage_);
            throw VolumeError("no member " + qfutil::Quoted(wanted) + " in the archive");
        }
        const Member &m = members_[index];
        // Only what the header declares is delivered, so the declared size bounds the bytes.
        if (m.length > limits_.fileBytes)
            throw VolumeError("archive member " + qfutil::Quoted(m.entry.path) + " declares " +
                              std::to_string(m.length) + " bytes, over the limit of " +
                              std::to_string(limits_.fileBytes) + " for a file read whole");
        VolumeFile file;
        decode(m, [&](std::span<const uint8_t> piece) {
            file.bytes.insert(file.bytes.end(), piece.begin(), piece.end());
        });
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

    // Names equal but for case are one key, as the host compares Amiga names.
    struct IgnoringCase {
        bool operator()(const std::string &a, const std::string &b) const { return CompareNamesIgnoringCase(a, b) < 0; }
    };

    std::string Damaged(uint64_t offset, const std::string &what) const
    {
        std::string before = members_.empty() ? "before any member"
                                              : "after " + std::to_string(members_.size()) + " member" +
                                                    (members_.size() == 1 ? "" : "s") + ", the last " +
                                                    qfutil::Quoted(members_.back().entry.path);
        return "archive " + qfutil::Quoted(location_.filename().string()) + " is damaged at byte " +
               std::to_string(offset) + ": " + what + " (" + before + ")";
    }

    // Whether the bytes at offset end the archive: its end, or the 0 byte its writers put there,
    // whatever padding follows, unless they begin a header (a level 2 header's size can end in 0).
    bool endsHere(Source &source, uint64_t offset) const
    {
        if (offset >= size_) return true;
        uint8_t b[7] = {};
        size_t have = size_t(std::min<uint64_t>(sizeof b, size_ - offset));
        if (!source.readAll(offset, b, have)) return false;
        if (b[0] == 0x1A) return OnlyFiller(source, offset);
        return b[0] == 0 && !(have == sizeof b && b[2] == '-' && b[6] == '-');
    }

    // Archives that came through XMODEM end in up to a block of 0x1A filler and no end byte.
    bool OnlyFiller(Source &source, uint64_t offset) const
    {
        constexpr uint64_t block = 1024;
        if (size_ - offset > block) return false;
        uint8_t rest[block];
        size_t have = size_t(size_ - offset);
        return source.readAll(offset, rest, have) &&
               std::all_of(rest, rest + have, [](uint8_t c) { return c == 0x1A; });
    }

    // Why the header at offset could not be read: it runs past the end, or is no header.
    std::string Unreadable(Source &source, uint64_t offset) const
    {
        uint8_t b[28] = {};
        size_t have = size_t(std::min<uint64_t>(sizeof b, size_ - offset));
        source.readAll(offset, b, have);
        uint64_t declared = 0;
        if (have > 20) {
            if (b[20] <= 1) declared = uint64_t(b[0]) + 2;
            else if (b[20] == 2) declared = b[0] | uint64_t(b[1]) << 8;
            else if (b[20] == 3 && have == sizeof b)
                declared = b[24] | uint64_t(b[25]) << 8 | uint64_t(b[26]) << 16 | uint64_t(b[27]) << 24;
        }
        bool cut = have < 22 || declared > size_ - offset;
        return cut ? "a member header cut short by the end of the archive" : "no member header there";
    }

    // Where the members begin: at 0, or past a self-extracting stub at the first place liblhasa
    // reads a header, in its first 64 KB, as lhasa finds it.
    uint64_t firstMember(Source &source) const
    {
        uint8_t b[7] = {};
        if (!source.readAll(0, b, std::min<uint64_t>(sizeof b, size_)) || LhasaStartsHere(b) || !IsExecutable(b))
            return 0;
        for (uint64_t at = 1; at < std::min(size_, StubReach); ++at) {
            if (size_ - at < 22 || !source.readAll(at, b, sizeof b)) break;
            if (LhasaStartsHere(b) && MemberReader(source, at).header()) return at;
        }
        return 0;
    }

    // A zero-length entry with a folder and no file name, which liblhasa refuses (only -lhd- may
    // lack a file name): how old Amiga archivers stored a directory. Its path, time, and where the
    // next member starts.
    struct Nameless {
        std::string path;
        std::time_t modified = 0;
        uint64_t next = 0;
    };
    std::optional<Nameless> namelessEntry(Source &source, uint64_t offset) const
    {
        auto le = [](const uint8_t *p, int bytes) {
            uint64_t v = 0;
            for (int i = 0; i < bytes; ++i) v |= uint64_t(p[i]) << (8 * i);
            return v;
        };
        uint8_t b[24];
        if (size_ - offset < sizeof b || !source.readAll(offset, b, sizeof b)) return std::nullopt;
        std::string_view method(reinterpret_cast<const char *>(b + 2), 5);
        uint64_t packed = le(b + 7, 4), length = le(b + 11, 4);
        unsigned level = b[20];
        if ((method != "-lh0-" && method != LHA_COMPRESS_TYPE_DIR) || length != 0 || level > 2) return std::nullopt;
        size_t size = level == 2 ? size_t(le(b, 2)) : size_t(b[0]) + 2;
        if (size < (level == 2 ? 26 : 24) || size > size_ - offset) return std::nullopt;
        std::vector<uint8_t> raw(size);
        if (!source.readAll(offset, raw.data(), size)) return std::nullopt;
        std::string file, folder;
        size_t extended = 24;
        if (level < 2) {
            uint8_t sum = 0;
            for (size_t i = 2; i < size; ++i) sum = uint8_t(sum + raw[i]);
            if (sum != raw[1] || 22u + raw[21] + 2 > size) return std::nullopt;
            file.assign(raw.begin() + 22, raw.begin() + 22 + raw[21]);
            std::replace(file.begin(), file.end(), '\\', '/');
            extended = size - 2;
            // Level 1 extended headers follow the fixed ones, and count in the packed size.
            for (uint64_t next = level == 1 ? le(&raw[size - 2], 2) : 0; next != 0;
                 next = le(&raw[raw.size() - 2], 2)) {
                if (next < 3 || next > packed || next > size_ - offset - raw.size() || raw.size() + next > 65536)
                    return std::nullopt;
                packed -= next;
                size_t at = raw.size();
                raw.resize(at + size_t(next));
                if (!source.readAll(offset + at, raw.data() + at, size_t(next))) return std::nullopt;
            }
        }
        if (level == 0) extended = raw.size();
        for (size_t at = extended; at + 2 <= raw.size();) {
            size_t length = size_t(le(&raw[at], 2));
            if (length == 0) break;
            if (length < 3 || length > raw.size() - at) return std::nullopt;
            std::string text(raw.begin() + long(at) + 3, raw.begin() + long(at + length));
            if (raw[at + 2] == 1) file = text;
            if (raw[at + 2] == 2) {
                std::replace(text.begin(), text.end(), '\xFF', '/');
                folder = text;
            }
            at += length;
        }
        std::string path = folder + (folder.empty() || folder.back() == '/' ? "" : "/") + file;
        if (packed != 0 || (!path.empty() && path.back() != '/')) return std::nullopt;
        return Nameless{path, level == 2 ? std::time_t(le(b + 15, 4)) : MsDosTime(uint32_t(le(b + 15, 4))),
                        offset + raw.size()};
    }

    void index()
    {
        Source source(descriptor_.get(), size_, size_t(1) << 16);
        uint64_t offset = firstMember(source);
        while (!endsHere(source, offset)) {
            MemberReader reader(source, offset);
            const LHAFileHeader *h = reader.header();
            if (!h) {
                if (auto nameless = namelessEntry(source, offset)) {
                    Member m;
                    m.entry.path = MemberPath(nameless->path);
                    m.entry.directory = true;
                    m.entry.modified = nameless->modified;
                    m.offset = offset;
                    offset = nameless->next;
                    if (!m.entry.path.empty()) members_.push_back(std::move(m));
                    continue;
                }
                damage_ = Damaged(offset, Unreadable(source, offset));
                break;
            }
            uint64_t packed = h->compressed_length, length = h->length;
            if (auto sizes = LhaExtendedSizes({h->raw_data, h->raw_data_len})) {
                if (uint32_t(sizes->packed) != packed || uint32_t(sizes->original) != length) {
                    damage_ = Damaged(offset, "a member header whose two sizes disagree");
                    break;
                }
                packed = sizes->packed, length = sizes->original;
            }
            Member m;
            m.entry.path = MemberPath(*h);
            if (h->os_type == LHA_OS_TYPE_UNIX) {
                m.entry.utf8 = BeyondLatin1(m.entry.path);
                m.entry.path = Utf8AsLatin1(m.entry.path);
            } else if (WrittenOnMsDos(*h)) {
                m.entry.path = Cp437Name(m.entry.path, m.entry.utf8);
            }
            bool dirMethod = std::string_view(h->compress_method) == LHA_COMPRESS_TYPE_DIR;
            // A zero-length entry whose name ends in '/', or with the MS-DOS directory attribute
            // (on the Amiga that bit is the archive flag, so there only what lies inside one says so).
            bool empty = length == 0 && packed == 0;
            bool named = h->filename && *h->filename;
            bool attribute = h->raw_data_len > 19 && (h->raw_data[19] & 0x10) && h->os_type != LHA_OS_TYPE_AMIGA;
            m.entry.directory = (dirMethod && !h->symlink_target) || (empty && (!named || attribute));
            m.entry.link = h->symlink_target != nullptr;
            if (m.entry.link) m.entry.linkTarget = h->symlink_target;
            m.entry.size = m.entry.directory || m.entry.link ? 0 : length;
            m.entry.modified = std::time_t(h->timestamp);
            m.offset = offset;
            m.length = length;
            m.crc = h->crc;
            m.file = !dirMethod && !m.entry.directory;
            m.empty = empty && !dirMethod;
            uint64_t data = offset + h->raw_data_len;
            if (packed > size_ - data) {
                damage_ = Damaged(offset,
                                  "member " + qfutil::Quoted(m.entry.path) + " is cut short by the end of the archive");
                break;
            }
            offset = data + packed;
            if (m.entry.path.empty()) continue;
            members_.push_back(std::move(m));
        }
        // An empty file that other members lie in is the folder they need.
        std::unordered_set<std::string> folders;
        for (const Member &m : members_)
            for (size_t slash = m.entry.path.find('/'); slash != std::string::npos;
                 slash = m.entry.path.find('/', slash + 1))
                folders.insert(m.entry.path.substr(0, slash));
        for (Member &m : members_)
            if (m.file && m.empty && folders.count(m.entry.path)) m.entry.directory = true, m.file = false;
        for (size_t i = 0; i < members_.size(); ++i) {
            Member &m = members_[i];
            m.entry.id = i;
            if (!m.file) continue;
            exact_.try_emplace(m.entry.path, i);
            auto [it, added] = folded_.try_emplace(m.entry.path, i);
            if (!added && m.entry.path < members_[it->second].entry.path) it->second = i;
        }
    }

    // The member a walk gave: by its id, which must still name it.
    const Member &walked(const VolumeEntry &file) const
    {
        if (file.id >= members_.size() || members_[file.id].entry.path != file.path || !members_[file.id].file)
            throw VolumeError("no member " + qfutil::Quoted(file.path) + " in the archive");
        return members_[file.id];
    }

    // The header found again where the index saw it (the file may have changed since).
    static void expect(const MemberReader &reader, const Member &m)
    {
        if (!reader.header() || reader.header()->crc != m.crc)
            throw VolumeError("archive member " + qfutil::Quoted(m.entry.path) + " cannot be read again");
    }

    // The whole member, in pieces, checked against its declared length and CRC.
    void decode(const Member &m, const ByteSink &sink) const
    {
        Source source(descriptor_.get(), size_, MemberAhead);
        MemberReader reader(source, m.offset);
        expect(reader, m);
        std::vector<uint8_t> buffer(m.length < 65535 ? size_t(m.length) + 1 : 65536);
        uint64_t got = 0;
        uint16_t crc = 0;
        bool longer = false;
        // Asking one byte past the declared length tells a member that decodes longer than it says.
        for (;;) {
            size_t want = m.length - got < buffer.size() - 1 ? size_t(m.length - got) + 1 : buffer.size();
            size_t n = reader.read(buffer.data(), want);
            if (n == 0) break;
            if (n > m.length - got) {
                longer = true;
                break;
            }
            std::span<const uint8_t> piece(buffer.data(), n);
            crc = LhaCrc16(piece, crc);
            got += n;
            sink(piece);
        }
        std::string name = "archive member " + qfutil::Quoted(m.entry.path);
        if (reader.failed()) throw VolumeError("cannot read " + name + ": " + std::strerror(EIO));
        if (!longer && got < m.length && m.length == uint32_t(m.length))
            throw VolumeError(name + " is damaged (cut short)");
        if (longer || got != m.length)
            throw VolumeError(name + " is damaged (it declares " + std::to_string(m.length) + " bytes and holds " +
                              (longer ? "more" : std::to_string(got)) + ")");
        if (crc != m.crc) throw VolumeError(name + " is damaged (its CRC does not match)");
    }

    fs::path location_;
    VolumeLimits limits_;
    FileDescriptor descriptor_;
    uint64_t size_ = 0;
    std::vector<Member> members_;
    std::unordered_map<std::string, size_t> exact_;       // the first file of each path
    std::map<std::string, size_t, IgnoringCase> folded_;  // the smallest path equal but for case
    std::optional<std::string> damage_;                   // why the index stopped early
};

}  // namespace

bool LooksLikeLha(std::span<const uint8_t> head, const fs::path &location)
{
    // An LHA member header: its method id ("-lh5-", "-lz4-"...) right after two bytes of size and sum.
    auto method = [](const uint8_t *b) {
        return b[2] == '-' && b[3] == 'l' && (b[4] == 'h' || b[4] == 'z') && b[6] == '-';
    };
    if (head.size() < 7) return false;
    if (method(head.data())) return true;
    uint8_t start[7];
    std::copy_n(head.begin(), 7, start);
    if (!IsExecutable(start)) return false;
    FileDescriptor fd(::open(location.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    Source source(fd.get(), uint64_t(info.st_size), size_t(StubReach));
    uint8_t b[7];
    for (uint64_t at = 1; at < std::min(source.size(), StubReach) && source.size() - at >= 22; ++at)
        if (source.readAll(at, b, sizeof b) && method(b) && MemberReader(source, at).header()) return true;
    return false;
}

std::unique_ptr<Volume> OpenArchiveVolume(const fs::path &archive, const VolumeLimits &limits)
{
    return std::make_unique<ArchiveVolume>(archive, limits);
}

}  // namespace qfhost
