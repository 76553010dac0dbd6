// Small movies that declare huge work: what one OpenVideo costs in time and peak memory, each in a
// child process of its own (so one case's heap is not the next one's), beside the bench scene
// movie; then the first frame, as a host without a pixel budget would compose it. Targets: every
// open under 1 s and 256 MB. A child is capped at 2 GB of address space and 60 s, so a case over
// budget shows as a failed or killed open instead of taking the machine. Then small archives that
// declare huge members, as a command meets them, under the same targets.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "authoring/adf_writer.h"
#include "authoring/lha_writer.h"
#include "authoring/movie_writer.h"
#include "testing/movies.h"
#include "testing/scripted_host.h"
#include "qfhost/adf.hpp"
#include "qfhost/volume.hpp"
#include "qfhost/volume_files.hpp"
#include "quillframer/host_api.h"

namespace {

using namespace qfauthor;
using qftest::Bytes;

constexpr rlim_t AddressSpaceCap = rlim_t{2} << 30;
constexpr unsigned TimeCap = 60;

size_t Find(const Bytes &b, const char *id, size_t from = 0)
{
    for (size_t i = from; i + 4 <= b.size(); ++i)
        if (std::memcmp(&b[i], id, 4) == 0) return i;
    return b.size();
}

void PatchU16(Bytes &b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

// A one-plane picture that declares width x height and carries a 4-byte body.
Bytes DeclaredPicture(uint16_t width, uint16_t height)
{
    IndexedImage image{16, 1, Bytes(16, 0)};
    IlbmOptions options;
    options.planeCount = 1;
    options.compression = Compression::None;
    options.padOddChunks = false;
    Bytes file = WriteIlbm(image, qftest::BackdropPalette(), options);
    size_t bmhd = Find(file, "BMHD");
    PatchU16(file, bmhd + 8, width);
    PatchU16(file, bmhd + 10, height);
    return file;
}

Bytes PictureMovie(const Bytes &picture)
{
    MovieWriter m;
    m.embedded().load(Asset::Background, picture).scenes(1).scene(1).background(0).duration(50).end();
    return m.bytes();
}

Bytes SmallFaceSet(int faces, uint16_t declaredSize)
{
    std::vector<FaceEntry> entries(static_cast<size_t>(faces));
    for (auto &e : entries) e.image = {16, 1, Bytes(16, 1)};
    Bytes file = WriteFaceSet(entries, qftest::BackdropPalette());
    if (declaredSize)
        for (size_t at = Find(file, "FACE"); at < file.size(); at = Find(file, "FACE", at + 4)) {
            PatchU16(file, at + 8, declaredSize);
            PatchU16(file, at + 10, declaredSize);
        }
    return file;
}

Bytes HugeFaces()
{
    MovieWriter m;
    m.embedded().load(Asset::FaceSet, SmallFaceSet(16, 65535)).scenes(1).scene(1).duration(50).end();
    return m.bytes();
}

Bytes HugeBodyLength()
{
    IlbmOptions options;
    options.padOddChunks = false;
    Bytes picture = WriteIlbm(qftest::Backdrop(), qftest::BackdropPalette(), options);
    size_t body = Find(picture, "BODY");
    for (int k = 0; k < 4; ++k) picture[body + 4 + k] = k < 3 ? 0xFF : 0xF0;
    return PictureMovie(picture);
}

Bytes ManySprites()
{
    // All in scene 1: each "d" sends the next "e" back to the current scene.
    MovieWriter m;
    m.embedded().load(Asset::FaceSet, SmallFaceSet(4, 0)).scenes(1).scene(1).duration(50);
    for (int k = 0; k < 100000; ++k)
        m.faceSet(0, static_cast<int16_t>(k % 300), 10)
            .sprite(static_cast<uint16_t>(1 + k % 4), 0, 0, static_cast<uint16_t>(k % 16));
    m.end();
    return m.bytes();
}

Bytes ManyScenes()
{
    MovieWriter m;
    m.scenes(65535);
    for (uint32_t s = 1; s <= 65535; ++s) m.scene(static_cast<uint16_t>(s)).duration(1);
    m.end();
    return m.bytes();
}

struct Case {
    const char *name;
    std::function<Bytes()> movie;
};

struct Result {
    bool finished = false;  // the child reported back
    bool opened = false;
    int width = 0, height = 0;
    double seconds = 0;
    double frameSeconds = -1;  // -1: no frame composed
    long openPeakKb = 0;       // after the open
    long peakKb = 0;           // after the first frame too
    std::string fate;          // when it did not finish
};

struct Report {
    int opened, width, height;
    double seconds, frameSeconds;
    long openPeakKb;
};

// The first video packet composed into a buffer the child allocates, as a host would.
double FirstFrame(MovieHandle *movie, const StreamDescriptor &descriptor)
{
    size_t pixels = static_cast<size_t>(descriptor.width) * static_cast<size_t>(descriptor.height);
    void *buffer = std::calloc(pixels ? pixels : 1, 4);
    if (!buffer) return -1;
    double seconds = -1;
    PacketRecord record{};
    for (int n = 0; n < 4 && NextPacket(movie, &record) == 0; ++n) {
        bool video = record.streamIndex == 0;
        if (video) {
            void *buffers[1] = {buffer};
            int32_t pitches[1] = {0};
            VideoFrameRecord frame{};
            frame.buffers = buffers;
            frame.pitches = pitches;
            auto start = std::chrono::steady_clock::now();
            DecodeVideoFrame(movie, record.payload, &frame);
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        FreePacket(record.payload);
        if (video) break;
    }
    std::free(buffer);
    return seconds;
}

// What a capped child sent before it ended, how it ended and its peak memory.
struct ChildEnd {
    std::string sent;
    int status = 0;
    long peakKb = 0;
};

// Runs body in a child of its own under the address-space and time caps; body writes its findings
// to the descriptor it is given, and whatever it wrote before an end by signal still comes back.
ChildEnd RunCapped(const std::function<void(int)> &body)
{
    ChildEnd end;
    int fds[2];
    if (pipe(fds) != 0) return end;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        rlimit cap{AddressSpaceCap, AddressSpaceCap};
        setrlimit(RLIMIT_AS, &cap);
        alarm(TimeCap);
        body(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    char chunk[256];
    for (ssize_t n; pid > 0 && (n = read(fds[0], chunk, sizeof chunk)) > 0;) end.sent.append(chunk, size_t(n));
    close(fds[0]);
    rusage usage{};
    if (pid > 0) wait4(pid, &end.status, 0, &usage);
    end.peakKb = usage.ru_maxrss;
    return end;
}

std::string HowItEnded(int status)
{
    if (!WIFSIGNALED(status)) return "failed";
    return WTERMSIG(status) == SIGALRM ? "killed after " + std::to_string(TimeCap) + " s"
                                       : std::string("killed by ") + strsignal(WTERMSIG(status));
}

// The child builds the movie, then opens and closes it once; only the open is timed.
Result Measure(const Case &c)
{
    ChildEnd end = RunCapped([&c](int fd) {
        Bytes bytes = c.movie();
        qftest::ScriptedHost host;
        host.quiet();
        host.addFile("hostile.qf", bytes);
        host.install();
        StreamDescriptor descriptor{};
        auto start = std::chrono::steady_clock::now();
        MovieHandle *movie = OpenVideo("hostile.qf", &descriptor);
        Report r{movie != nullptr,
                 descriptor.width,
                 descriptor.height,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                 -1,
                 0};
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        r.openPeakKb = usage.ru_maxrss;
        // The open's figures are sent first: a frame that runs out of time still leaves them.
        if (write(fd, &r, sizeof r) != sizeof r) return;
        if (movie) {
            r.frameSeconds = FirstFrame(movie, descriptor);
            if (write(fd, &r, sizeof r) != sizeof r) return;
            CloseVideo(movie);
        }
    });
    Report r{}, later{};
    Result result;
    result.finished = end.sent.size() >= sizeof r;
    const bool framed = end.sent.size() >= 2 * sizeof r;
    if (result.finished) std::memcpy(&r, end.sent.data(), sizeof r);
    if (framed) std::memcpy(&later, end.sent.data() + sizeof r, sizeof later);
    result.peakKb = end.peakKb;
    if (result.finished) {
        result.opened = r.opened != 0;
        result.width = r.width;
        result.height = r.height;
        result.seconds = r.seconds;
        result.openPeakKb = r.openPeakKb;
        result.frameSeconds = framed ? later.frameSeconds : -1;
        if (!framed && WIFSIGNALED(end.status)) result.fate = "frame " + HowItEnded(end.status);
    } else {
        result.fate = HowItEnded(end.status);
    }
    return result;
}

// Hostile disks: the files are made once in a temporary folder, then each case runs in a child
// of its own, timed and measured as the movie cases are.
namespace disks {

namespace fs = std::filesystem;

struct DiskCase {
    const char *name;
    std::function<std::string()> run;  // what it found, or the refusal
};

void Save(const fs::path &path, const Bytes &bytes, uint64_t size = 0)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    if (size) fs::resize_file(path, size);  // the rest a hole
}

// Opens a disk as `info` does: its label, then every entry.
std::string Survey(const fs::path &image, const qfhost::VolumeLimits &limits = {})
{
    try {
        std::unique_ptr<qfhost::Volume> volume = qfhost::Volume::Open(image, limits);
        size_t entries = 0;
        volume->walk([&](const qfhost::VolumeEntry &) { return ++entries, true; });
        return "\"" + volume->label() + "\", " + std::to_string(entries) + " entries";
    } catch (const qfhost::VolumeError &e) {
        return std::string("refused: ") + e.what();
    }
}

std::vector<DiskCase> Cases(const fs::path &dir)
{
    qfauthor::AdfOptions o;
    o.fastFileSystem = true;
    o.label = "Huge";
    Bytes fileSystem = qfauthor::AdfWriter(o).file("Movies/M", Bytes(5000, 1)).image();
    Save(dir / "huge.hdf", qfauthor::HardDiskImage(fileSystem, {128, 2, 11, 2, 381000}), uint64_t(4) << 30);
    Save(dir / "deep.adf", qfauthor::DeepDirectoryImage(10000, std::string(30, 'n')));
    fs::create_directory(dir / "beside");
    Save(dir / "beside/movie.qf", qftest::SceneMovie());
    Save(dir / "beside/disk.adf", {'D', 'O', 'S', 0}, uint64_t(1) << 30);
    return {
        {"4 GB sparse hard disk: open, label, walk", [dir] { return Survey(dir / "huge.hdf"); }},
        {"10,000-deep directories of 30 letters", [dir] { return Survey(dir / "deep.adf"); }},
        {"the same, walked whole (depth 10,000)", [dir] { return Survey(dir / "deep.adf", {.depth = 10000}); }},
        {"1 GB file like a disk beside a movie",
         [dir] {
             fs::path folders[] = {dir / "beside"};
             std::optional<fs::path> found = qfhost::FindImageByLabel(folders, "Work");
             return found ? "found " + found->string() : std::string("no disk labelled Work");
         }},
    };
}

// One case in a child of its own, capped as the movie cases are: its time, the child's peak memory,
// and the line it reported (or what ended it).
struct Capped {
    bool finished = false;
    double seconds = -1;
    long peakKb = 0;
    std::string outcome;
};

Capped RunTimed(const std::function<std::string()> &work)
{
    ChildEnd end = RunCapped([&work](int fd) {
        auto start = std::chrono::steady_clock::now();
        std::string found = work();
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (write(fd, &seconds, sizeof seconds) != sizeof seconds) return;
        if (write(fd, found.data(), std::min<size_t>(found.size(), 200)) < 0) return;
    });
    Capped r;
    r.finished = end.sent.size() >= sizeof r.seconds;
    if (r.finished) std::memcpy(&r.seconds, end.sent.data(), sizeof r.seconds);
    r.peakKb = end.peakKb;
    r.outcome = r.finished ? end.sent.substr(sizeof r.seconds) : HowItEnded(end.status);
    return r;
}

void Report()
{
    char pattern[] = "/tmp/qfbench-XXXXXX";
    if (!mkdtemp(pattern)) return;
    const fs::path dir = pattern;
    std::printf("\nhostile disks (targets: under 1 s and 256 MB each)\n%-42s %9s %8s  %s\n", "disk", "ms", "peak MB",
                "result");
    for (const DiskCase &c : Cases(dir)) {
        Capped r = RunTimed(c.run);
        bool over = !r.finished || r.seconds >= 1.0 || r.peakKb >= 256 * 1024;
        std::printf("%-42s %9.1f %8.1f  %s%s\n", c.name, r.seconds * 1000, r.peakKb / 1024.0, r.outcome.c_str(),
                    over ? "  OVER TARGET" : "");
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace disks

// Archives that declare huge work, as a command meets them: open the volume, walk it, read the
// first 16 bytes of every file (how movies are found), then open the one member named.
struct ArchiveCase {
    const char *name;
    std::function<Bytes()> archive;
    const char *member;
};

Bytes DeclaredGigabytes()
{
    LhaMember huge = StoredLhaMember("huge", Bytes(2300, 'x'));
    huge.length = 0xFFFFFFFF;
    return WriteLha({huge, StoredLhaMember("ReadMe", Bytes{'h', 'i'})});
}

Bytes GigabyteOfZeros()
{
    LhaMember zeros;
    zeros.path = "zeros";
    zeros.method = "-lh5-";
    zeros.data = Lh5Zeros(uint64_t{1} << 30);
    zeros.length = uint64_t{1} << 30;
    return WriteLha({zeros, StoredLhaMember("ReadMe", Bytes{'h', 'i'})});
}

Bytes TenThousandMembers()
{
    std::vector<LhaMember> members;
    for (int i = 0; i < 10000; ++i) {
        std::string text = std::to_string(i);
        members.push_back(
            StoredLhaMember("Dir" + std::to_string(i % 10) + "/File" + text, Bytes(text.begin(), text.end())));
    }
    return WriteLha(members);
}

// Opens the archive as a command meets it; what it found, or the refusal.
std::string ReadArchive(const std::filesystem::path &path, const char *member)
{
    size_t members = 0;
    try {
        auto volume = qfhost::Volume::Open(path);
        volume->walk([&](const qfhost::VolumeEntry &e) {
            if (!e.directory && !e.link) volume->head(e, 16);
            ++members;
            return true;
        });
        return std::to_string(members) + " members; read " + std::to_string(volume->open(member).bytes.size()) +
               " bytes";
    } catch (const qfhost::VolumeError &e) {
        return std::to_string(members) + " members; refused: " + e.what();
    }
}

void ArchiveCases()
{
    const ArchiveCase cases[] = {
        {"member declaring 4 GB (2.3 KB)", DeclaredGigabytes, "huge"},
        {"1 GB of zeros as -lh5- (495 B)", GigabyteOfZeros, "zeros"},
        {"10,000 members", TenThousandMembers, "Dir3/File5003"},
    };
    char pattern[] = "/tmp/qfbench-XXXXXX";
    if (!mkdtemp(pattern)) return;
    const std::filesystem::path dir = pattern;
    std::printf(
        "\nhostile archives: open, walk, 16 bytes of every file, open one member (targets: under 1 s and 256 MB)\n");
    std::printf("%-34s %9s %8s  %s\n", "archive", "ms", "peak MB", "result");
    for (const ArchiveCase &c : cases) {
        const std::filesystem::path path = dir / "case.lha";
        disks::Save(path, c.archive());
        disks::Capped r = disks::RunTimed([&] { return ReadArchive(path, c.member); });
        bool over = !r.finished || r.seconds >= 1.0 || r.peakKb >= 256 * 1024;
        std::printf("%-34s %9.1f %8.1f  %s%s\n", c.name, r.seconds * 1000, r.peakKb / 1024.0, r.outcome.c_str(),
                    over ? "  OVER TARGET" : "");
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace

int main()
{
    const Case baseline{"bench scene movie, 320x256", qftest::SceneMovie};
    const Case cases[] = {
        {"picture 16384x16384, 4-byte body", [] { return PictureMovie(DeclaredPicture(16384, 16384)); }},
        {"picture 65535x65535, 4-byte body", [] { return PictureMovie(DeclaredPicture(65535, 65535)); }},
        {"16 faces of 65535x65535", HugeFaces},
        {"BODY declaring 4 GB", HugeBodyLength},
        {"100,000 sprite placements", ManySprites},
        {"65535 scenes", ManyScenes},
    };
    std::printf("hostile opens (targets: under 1 s and 256 MB each; child capped at %llu MB, %u s)\n",
                static_cast<unsigned long long>(AddressSpaceCap >> 20), TimeCap);
    std::printf("%-34s %9s %7s %8s %8s | %9s %8s  %s\n", "movie", "open ms", "x time", "open MB", "x memory",
                "frame ms", "peak MB", "result");
    Result base = Measure(baseline);
    auto line = [&](const Case &c, const Result &r) {
        std::string outcome = !r.finished ? r.fate
                              : r.opened  ? "opened, " + std::to_string(r.width) + "x" + std::to_string(r.height)
                                          : "null (no memory under the cap, or refused)";
        if (r.finished && !r.fate.empty()) outcome += "; " + r.fate;
        bool over = !r.finished || r.seconds >= 1.0 || r.openPeakKb >= 256 * 1024;
        char frame[32] = "-";
        if (r.frameSeconds >= 0) std::snprintf(frame, sizeof frame, "%.1f", r.frameSeconds * 1000);
        std::printf("%-34s %9.1f %7.1f %8.1f %8.1f | %9s %8.1f  %s%s\n", c.name, r.seconds * 1000,
                    base.seconds > 0 ? r.seconds / base.seconds : 0.0, r.openPeakKb / 1024.0,
                    base.openPeakKb > 0 ? static_cast<double>(r.openPeakKb) / base.openPeakKb : 0.0, frame,
                    r.peakKb / 1024.0, outcome.c_str(), over ? "  OVER TARGET" : "");
    };
    line(baseline, base);
    for (const Case &c : cases) line(c, Measure(c));
    disks::Report();
    ArchiveCases();
    return 0;
}
