// ZIP, 7-Zip and tar archives, and files compressed whole by gzip, xz or bzip2, through libarchive.
// These formats are read from the start: the index is one pass that also keeps each member's first
// bytes, so a walk that looks at every member's head costs no second pass; a member's whole bytes
// cost a pass up to it.
#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <unistd.h>
#include <unordered_map>

#include "qfhost/name_rules.hpp"
#include "qfutil/printable.hpp"
#include "volume_open.hpp"

namespace qfhost {
namespace fs = std::filesystem;

namespace {

struct ReaderFree {
    void operator()(archive *a) const { archive_read_free(a); }
};
using Reader = std::unique_ptr<archive, ReaderFree>;

constexpr size_t HeadKept = size_t(1) << 16;        // of each member: what recognising it takes
constexpr uint64_t HeadsKept = uint64_t(64) << 20;  // of all members together

// A reader for the archive formats read here, or (raw) for a compressed stream's bytes as they
// are: zeros would pass for an empty tar archive.
Reader NewReader(bool raw)
{
    Reader a(archive_read_new());
    if (!a) throw std::bad_alloc();
    archive_read_support_filter_gzip(a.get());
    archive_read_support_filter_xz(a.get());
    archive_read_support_filter_lzma(a.get());
    archive_read_support_filter_bzip2(a.get());
    if (raw) {
        archive_read_support_format_raw(a.get());
    } else {
        archive_read_support_format_zip(a.get());
        archive_read_support_format_7zip(a.get());
        archive_read_support_format_tar(a.get());
    }
    return a;
}

// Whether the reader finds an archive with at least one member.
bool HoldsMember(archive *a)
{
    archive_entry *e = nullptr;
    int r = archive_read_next_header(a, &e);
    return r == ARCHIVE_OK || r == ARCHIVE_WARN;
}

std::string Why(archive *a)
{
    const char *text = archive_error_string(a);
    return text ? text : "cannot be read";
}

Reader OpenFile(const fs::path &location, bool raw)
{
    Reader a = NewReader(raw);
    if (archive_read_open_filename(a.get(), location.c_str(), 1 << 16) != ARCHIVE_OK) throw VolumeError(Why(a.get()));
    return a;
}

// Reads up to count bytes of the current member; fewer only at its end.
size_t ReadSome(archive *a, uint8_t *out, size_t count)
{
    size_t got = 0;
    while (got < count) {
        la_ssize_t n = archive_read_data(a, out + got, count - got);
        if (n < 0) throw VolumeError(Why(a));
        if (n == 0) break;
        got += size_t(n);
    }
    return got;
}

// A member's path without leading "./" or slashes and without a trailing slash.
std::string MemberPath(std::string path)
{
    while (path.starts_with("./") || path.starts_with("/")) path.erase(0, path.front() == '/' ? 1 : 2);
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

struct Member {
    VolumeEntry entry;
    std::vector<uint8_t> head;  // its first bytes, or all of it
    bool sized = false;         // the header gave the size (else it was counted)
};

class PackedArchive : public Volume {
public:
    PackedArchive(const fs::path &location, const VolumeLimits &limits) : location_(location), limits_(limits)
    {
        index();
    }

    VolumeKind kind() const override { return VolumeKind::Archive; }
    std::string label() const override { return location_.stem().string(); }
    std::string fileSystem() const override { return format_; }

    void walk(const EntryVisitor &visit) const override
    {
        for (const Member &m : members_)
            if (!visit(m.entry)) return;
        if (damage_) throw VolumeError(*damage_);
    }

    std::vector<uint8_t> head(const VolumeEntry &file, size_t count) const override
    {
        const Member &m = walked(file);
        if (count <= m.head.size() || m.head.size() == m.entry.size)
            return {m.head.begin(), m.head.begin() + long(std::min(count, m.head.size()))};
        Reader a = at(m);
        std::vector<uint8_t> bytes(count);
        bytes.resize(ReadSome(a.get(), bytes.data(), count));
        return bytes;
    }

    void copy(const VolumeEntry &file, const ByteSink &sink) const override { decode(walked(file), sink, UINT64_MAX); }

    VolumeFile open(std::string_view inside) const override
    {
        std::string wanted = MemberPath(std::string(inside));
        const Member *found = nullptr;
        for (const Member &m : members_) {
            if (m.entry.directory || m.entry.link || !m.entry.damage.empty()) continue;
            if (m.entry.path == wanted) {
                found = &m;
                break;
            }
            if (CompareNamesIgnoringCase(m.entry.path, wanted) == 0 && (!found || m.entry.path < found->entry.path))
                found = &m;
        }
        if (!found) {
            if (damage_) throw VolumeError(*damage_);
            throw VolumeError("no member " + qfutil::Quoted(wanted) + " in the archive");
        }
        if (found->entry.size > limits_.fileBytes)
            throw VolumeError("archive member " + qfutil::Quoted(found->entry.path) + " holds " +
                              std::to_string(found->entry.size) + " bytes, over the limit of " +
                              std::to_string(limits_.fileBytes) + " for a file read whole");
        VolumeFile file;
        decode(
            *found,
            [&](std::span<const uint8_t> piece) { file.bytes.insert(file.bytes.end(), piece.begin(), piece.end()); },
            limits_.fileBytes);
        return file;
    }

private:
    void index()
    {
        Reader a;
        try {
            a = OpenFile(location_, false);
        } catch (const VolumeError &e) {
            throw VolumeError(Damaged(e.what()));
        }
        uint64_t kept = 0;
        std::vector<uint8_t> buffer(HeadKept);
        archive_entry *e = nullptr;
        for (;;) {
            int r = archive_read_next_header(a.get(), &e);
            if (r == ARCHIVE_EOF) break;
            if (r < ARCHIVE_WARN) {
                damage_ = Damaged(Why(a.get()));
                break;
            }
            if (members_.size() == limits_.nest.members) {
                damage_ = "archive " + qfutil::Quoted(location_.filename().string()) + " holds more than " +
                          std::to_string(limits_.nest.members) + " entries inside containers (the limit on members)";
                break;
            }
            if (format_.empty()) format_ = FormatName(a.get());
            Member m;
            const char *utf8 = archive_entry_pathname_utf8(e);
            const char *raw = archive_entry_pathname(e);
            std::string path = utf8 ? Utf8AsLatin1(utf8) : raw ? raw : "";
            m.entry.utf8 = utf8 && BeyondLatin1(utf8);
            const mode_t type = archive_entry_filetype(e);
            m.entry.directory = type == AE_IFDIR || (!path.empty() && path.back() == '/');
            m.entry.path = MemberPath(path);
            if (const char *target = archive_entry_symlink(e); target && type == AE_IFLNK)
                m.entry.link = true, m.entry.linkTarget = target;
            else if (const char *hard = archive_entry_hardlink(e)) m.entry.link = true, m.entry.linkTarget = hard;
            m.entry.modified = archive_entry_mtime(e);
            m.entry.id = members_.size();
            if (archive_entry_is_encrypted(e))
                m.entry.damage = "archive member " + qfutil::Quoted(m.entry.path) + " is encrypted";
            if (!m.entry.directory && !m.entry.link && m.entry.damage.empty()) {
                m.sized = archive_entry_size_is_set(e);
                if (m.sized) m.entry.size = uint64_t(archive_entry_size(e));
                try {
                    bool ended = false;
                    if (kept < HeadsKept) {
                        m.head.assign(buffer.begin(),
                                      buffer.begin() + long(ReadSome(a.get(), buffer.data(), HeadKept)));
                        kept += m.head.size();
                        ended = m.head.size() < HeadKept;
                    }
                    if (!m.sized) m.entry.size = m.head.size() + (ended ? 0 : Count(a.get()));
                } catch (const VolumeError &error) {
                    m.entry.damage = "archive member " + qfutil::Quoted(m.entry.path) + ": " + error.what();
                    m.head.clear();
                }
            }
            if (m.entry.path.empty()) continue;
            members_.push_back(std::move(m));
        }
        if (format_.empty()) format_ = "archive";
    }

    // The rest of the current member, counted.
    static uint64_t Count(archive *a)
    {
        uint64_t n = 0;
        uint8_t buffer[1 << 16];
        while (size_t got = ReadSome(a, buffer, sizeof buffer)) n += got;
        return n;
    }

    static std::string FormatName(archive *a)
    {
        std::string name;
        switch (archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) {
        case ARCHIVE_FORMAT_ZIP: name = "ZIP archive"; break;
        case ARCHIVE_FORMAT_7ZIP: name = "7-Zip archive"; break;
        case ARCHIVE_FORMAT_TAR: name = "tar archive"; break;
        default: name = "archive"; break;
        }
        for (int i = archive_filter_count(a) - 1; i >= 0; --i) {
            int code = archive_filter_code(a, i);
            if (code == ARCHIVE_FILTER_GZIP) name += ", gzip-compressed";
            if (code == ARCHIVE_FILTER_XZ || code == ARCHIVE_FILTER_LZMA) name += ", xz-compressed";
            if (code == ARCHIVE_FILTER_BZIP2) name += ", bzip2-compressed";
        }
        return name;
    }

    std::string Damaged(const std::string &what) const
    {
        std::string before = members_.empty() ? "before any member"
                                              : "after " + std::to_string(members_.size()) + " member" +
                                                    (members_.size() == 1 ? "" : "s") + ", the last " +
                                                    qfutil::Quoted(members_.back().entry.path);
        return "archive " + qfutil::Quoted(location_.filename().string()) + " is damaged: " + what + " (" + before +
               ")";
    }

    const Member &walked(const VolumeEntry &file) const
    {
        if (file.id >= members_.size() || members_[file.id].entry.path != file.path ||
            members_[file.id].entry.directory || members_[file.id].entry.link)
            throw VolumeError("no member " + qfutil::Quoted(file.path) + " in the archive");
        const Member &m = members_[file.id];
        if (!m.entry.damage.empty()) throw VolumeError(m.entry.damage);
        return m;
    }

    // A reader positioned at the start of m's bytes: the archive read again from its start.
    Reader at(const Member &m) const
    {
        Reader a;
        try {
            a = OpenFile(location_, false);
        } catch (const VolumeError &) {
            throw VolumeError("archive member " + qfutil::Quoted(m.entry.path) + " cannot be read again");
        }
        archive_entry *e = nullptr;
        // Members with an empty path took no id.
        for (uint64_t i = 0;;) {
            if (archive_read_next_header(a.get(), &e) < ARCHIVE_WARN)
                throw VolumeError("archive member " + qfutil::Quoted(m.entry.path) + " cannot be read again");
            const char *utf8 = archive_entry_pathname_utf8(e);
            const char *raw = archive_entry_pathname(e);
            std::string path = MemberPath(utf8 ? Utf8AsLatin1(utf8) : raw ? raw : "");
            if (path.empty()) continue;
            if (i++ == m.entry.id) {
                if (path != m.entry.path)
                    throw VolumeError("archive member " + qfutil::Quoted(m.entry.path) + " cannot be read again");
                return a;
            }
        }
    }

    void decode(const Member &m, const ByteSink &sink, uint64_t most) const
    {
        Reader a = at(m);
        std::vector<uint8_t> buffer(1 << 16);
        uint64_t got = 0;
        std::string name = "archive member " + qfutil::Quoted(m.entry.path);
        try {
            while (size_t n = ReadSome(a.get(), buffer.data(), buffer.size())) {
                got += n;
                if (got > most)
                    throw VolumeError(name + " holds more than " + std::to_string(most) +
                                      " bytes, the limit for a file read whole");
                if (got > m.entry.size) break;
                sink({buffer.data(), n});
            }
        } catch (const VolumeError &e) {
            if (got > most) throw;
            throw VolumeError(name + " is damaged (" + e.what() + ")");
        }
        if (got != m.entry.size)
            throw VolumeError(name + " is damaged (it declares " + std::to_string(m.entry.size) + " bytes and holds " +
                              (got > m.entry.size ? "more" : std::to_string(got)) + ")");
    }

    fs::path location_;
    VolumeLimits limits_;
    std::vector<Member> members_;
    std::string format_;
    std::optional<std::string> damage_;
};

}  // namespace

Packing PackingOf(std::span<const uint8_t> head)
{
    auto starts = [&](std::string_view magic, size_t at = 0) {
        return head.size() >= at + magic.size() && std::equal(magic.begin(), magic.end(), head.begin() + long(at),
                                                              [](char a, uint8_t b) { return uint8_t(a) == b; });
    };
    using namespace std::string_view_literals;
    if (starts("\x1f\x8b"sv) ||
        starts("\xfd"
               "7zXZ\0"sv) ||
        starts("BZh"sv))
        return Packing::Stream;
    if (starts("PK\x03\x04"sv) || starts("PK\x05\x06"sv) || starts("7z\xbc\xaf\x27\x1c"sv) || starts("ustar"sv, 257))
        return Packing::Archive;
    return Packing::None;
}

std::vector<uint8_t> UnpackedHead(std::span<const uint8_t> packed, size_t count)
{
    Reader a = NewReader(false);
    if (archive_read_open_memory(a.get(), packed.data(), packed.size()) == ARCHIVE_OK && HoldsMember(a.get())) {
        // An archive inside (a .tar.gz): its own start is no help, but its signature is.
        std::vector<uint8_t> bytes(512);
        std::memcpy(bytes.data() + 257, "ustar", 5);
        return bytes;
    }
    a = NewReader(true);
    archive_entry *e = nullptr;
    if (archive_read_open_memory(a.get(), packed.data(), packed.size()) != ARCHIVE_OK ||
        archive_read_next_header(a.get(), &e) < ARCHIVE_WARN)
        return {};
    // A head cut short ends the stream early: what came before is still the head.
    std::vector<uint8_t> bytes(count);
    size_t got = 0;
    while (got < count) {
        la_ssize_t n = archive_read_data(a.get(), bytes.data() + got, count - got);
        if (n <= 0) break;
        got += size_t(n);
    }
    bytes.resize(got);
    return bytes;
}

bool StreamHoldsArchive(const fs::path &location)
{
    Reader a = NewReader(false);
    return archive_read_open_filename(a.get(), location.c_str(), 1 << 16) == ARCHIVE_OK && HoldsMember(a.get());
}

std::unique_ptr<Volume> OpenPackedArchive(const fs::path &location, const VolumeLimits &limits)
{
    return std::make_unique<PackedArchive>(location, limits);
}

void ExpandStream(const fs::path &location, int fd, NestBudget &budget)
{
    std::vector<uint8_t> buffer(1 << 16);
    // Counted first, so a bomb is refused without holding what it expands to.
    for (int pass = 0; pass < 2; ++pass) {
        Reader a;
        archive_entry *e = nullptr;
        try {
            a = OpenFile(location, true);
        } catch (const VolumeError &error) {
            throw VolumeError(std::string("damaged (") + error.what() + ")");
        }
        if (archive_read_next_header(a.get(), &e) < ARCHIVE_WARN) throw VolumeError("damaged (" + Why(a.get()) + ")");
        uint64_t total = 0;
        auto read = [&] {
            try {
                return ReadSome(a.get(), buffer.data(), buffer.size());
            } catch (const VolumeError &error) {
                throw VolumeError("damaged after " + std::to_string(total) + " expanded bytes (" + error.what() + ")");
            }
        };
        while (size_t n = read()) {
            total += n;
            if (pass == 0) {
                budget.expand(n);
                continue;
            }
            for (size_t done = 0; done < n;) {
                ssize_t w = ::write(fd, buffer.data() + done, n - done);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) throw VolumeError(std::string("cannot hold it in memory: ") + std::strerror(errno));
                done += size_t(w);
            }
        }
    }
}

}  // namespace qfhost
