// Volumes behind the file services: a directory keeps its symbolic links inside, LHA archives read
// as Debian's lhasa extracts them, and a movie plays the same whether its files are in a
// directory, on an AmigaDOS disk image or in an archive.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "authoring/adf_writer.h"
#include "authoring/iff_writer.h"
#include "authoring/lha_writer.h"
#include "authoring/movie_writer.h"
#include "host_test_support.hpp"
#include "qfhost/host.hpp"
#include "qfhost/volume.hpp"
#include "qfhost/volume_files.hpp"
#include "testing/tiny_movie.h"

using namespace hosttest;
using qfauthor::Bytes;

namespace {

// Opens name beneath the volume through the host's services, as a movie's referenced file is.
struct VolumeHost {
    explicit VolumeHost(const fs::path &volume) : host(Settings(volume)), calls{host.base()}
    {
        host.makeCurrent();
        host.beginOpen("movie");
    }
    static qfhost::HostSettings Settings(const fs::path &volume)
    {
        qfhost::HostSettings s;
        s.volumes["Work"] = volume;
        return s;
    }
    // The file's bytes, or nullopt with host.failure() saying why.
    std::optional<std::string> read(const std::string &inside)
    {
        char buffer[1024] = {};
        if (!calls.requester(RequesterMessage("Work"), buffer, sizeof buffer)) return std::nullopt;
        calls.join(buffer, inside, sizeof buffer);
        HostFile f = calls.open(buffer);
        if (!f) return std::nullopt;
        std::string out(size_t(calls.seek(f, 0, HOST_SEEK_END)), '\0');
        calls.seek(f, 0, HOST_SEEK_START);
        calls.read(f, out.data(), uint32_t(out.size()));
        calls.close(f);
        return out;
    }
    qfhost::Host host;
    Calls calls;
};

TEST(DirectoryVolume, SymbolicLinksMayMoveInsideButNeverLeave)
{
    TempDir dir;
    fs::path volume = dir / "volume";
    dir.write("volume/Pics/Back", {'b'});
    dir.write("secret", {'s'});
    fs::create_symlink("Back", volume / "Pics/Inside");
    fs::create_symlink("../Pics/Back", volume / "Pics/Sideways");
    fs::create_symlink("../secret", volume / "Escape");
    fs::create_symlink("../../secret", volume / "Pics/Up");
    fs::create_symlink(volume / "Pics/Back", volume / "Absolute");  // absolute: would be resolved from /
    fs::create_symlink("/proc/self/root/" + (dir / "secret").string(), volume / "Magic");

    VolumeHost h(volume);
    EXPECT_EQ(h.read("Pics/Inside"), "b");
    EXPECT_EQ(h.read("pics/SIDEWAYS"), "b") << h.host.failure().what;  // case forgiven beneath the volume too
    for (const char *outside : {"Escape", "Pics/Up", "Absolute", "Magic", "escape"}) {
        EXPECT_EQ(h.read(outside), std::nullopt) << outside;
        EXPECT_NE(h.host.failure().what.find("Work:"), std::string::npos) << h.host.failure().what;
        EXPECT_EQ(h.host.failure().kind, qfhost::FailureKind::ReferencedFile);
    }
    EXPECT_NE(h.host.failure().what.find("leads outside the volume"), std::string::npos) << h.host.failure().what;

    // Without openat2 no symbolic link is followed at all; plain files still open.
    int root = ::open(volume.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(root, 0);
    for (bool kernel : {true, false}) {
        int fd = qfhost::OpenBeneath(root, "Pics/Back", O_RDONLY, kernel);
        EXPECT_GE(fd, 0) << kernel;
        if (fd >= 0) ::close(fd);
        EXPECT_EQ(qfhost::OpenBeneath(root, "Escape", O_RDONLY, kernel), -1) << kernel;
        EXPECT_EQ(qfhost::OpenBeneath(root, "Pics/../../secret", O_RDONLY, kernel), -1) << kernel;
    }
    EXPECT_EQ(qfhost::OpenBeneath(root, "Pics/Inside", O_RDONLY, false), -1);
    ::close(root);
}

// Every member of an archive, as Debian's lhasa extracts it.
std::map<std::string, Bytes> Extracted(const fs::path &archive, const TempDir &scratch)
{
    fs::path out = scratch / ("x-" + archive.filename().string());
    fs::create_directories(out);
    qftest::RunCommand("lhasa", {"xqw=" + out.string(), archive.string()}, scratch.path());
    std::map<std::string, Bytes> files;
    for (const auto &e : fs::recursive_directory_iterator(out))
        if (e.is_regular_file()) files[fs::relative(e.path(), out).generic_string()] = qftest::ReadBytes(e.path());
    return files;
}

TEST(ArchiveVolume, MembersReadAsLhasaExtractsThem)
{
    TempDir dir;
    const fs::path fixtures = fs::path(std::getenv("QF_SOURCE_DIR")) / "tests/fixtures/volumes";
    fs::path stored = dir.write(
        "stored.lha",
        qfauthor::WriteStoredLha({{"ReadMe", Bytes{'h', 'i'}}, {"Anims/Faces/Hero", Bytes(1000, 7)}, {"Empty", {}}}));
    for (const fs::path &archive : {fixtures / "volume-lh5.lzh", fixtures / "volume-lh6.lzh", stored}) {
        std::map<std::string, Bytes> expected = Extracted(archive, dir);
        ASSERT_GE(expected.size(), 3u) << archive;
        ASSERT_EQ(qfhost::Volume::Detect(archive), qfhost::VolumeKind::Archive);
        auto volume = qfhost::Volume::Open(archive);
        std::map<std::string, Bytes> read;
        for (const qfhost::VolumeEntry &e : volume->list())
            if (!e.directory) {
                read[e.path] = volume->open(e.path).bytes;
                EXPECT_EQ(e.size, read[e.path].size()) << e.path;
            }
        EXPECT_EQ(read, expected) << archive;
        EXPECT_EQ(volume->open("anims/FACES/hero").bytes, expected.at("Anims/Faces/Hero")) << archive;
        EXPECT_THROW(volume->open("Anims/Faces"), qfhost::VolumeError);
    }

    // A compressed member whose bytes were changed fails its CRC instead of reading as garbage.
    Bytes damaged = qftest::ReadBytes(fixtures / "volume-lh5.lzh");
    damaged[damaged.size() / 2] ^= 0x10;
    auto broken = qfhost::Volume::Open(dir.write("damaged.lzh", damaged));
    int failures = 0;
    for (const qfhost::VolumeEntry &e : broken->list()) {
        try {
            broken->open(e.path);
        } catch (const qfhost::VolumeError &error) {
            ++failures;
            EXPECT_NE(std::string(error.what()).find("is damaged"), std::string::npos) << error.what();
        }
    }
    EXPECT_EQ(failures, 1);
}

Bytes Sound()
{
    std::vector<int8_t> samples(2000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = int8_t((i * 37) % 200 - 100);
    return qfauthor::Write8svx(samples);
}

// Every video and audio packet's bytes, through the built plug-in: a movie argument (a file, an
// image holding one movie) opened as the command opens it.
std::string DumpWith(const std::string &movie, qfhost::HostSettings settings)
{
    const std::string served = qfhost::ResolveMovieArgument(movie, settings);
    qfhost::Plugin plugin(std::getenv("QF_PLUGIN"), settings);
    auto m = plugin.open(served);
    std::string out;
    for (qfhost::Packet &p : m->packets()) {
        if (p.isVideo()) {
            auto v = m->decodeVideo(p);
            out.append(reinterpret_cast<const char *>(v.data()), v.size_bytes());
        } else {
            auto a = m->decodeAudio(p);
            out.append(reinterpret_cast<const char *>(a.data()), a.size_bytes());
        }
    }
    return out;
}

// With Work mapped to volume.
std::string Dump(const fs::path &movie, const fs::path &volume)
{
    qfhost::HostSettings settings;
    settings.volumes["Work"] = volume;
    return DumpWith(movie, settings);
}

TEST(VolumeKinds, AMovieDumpsTheSameFromADirectoryADiskImageAndAnArchive)
{
    TempDir dir;
    const Bytes picture = qftest::TwoRowPicture(), sound = Sound();
    fs::path movie = dir / "movie.qf";
    qfauthor::MovieWriter()
        .scenes(1)
        .reference(qfauthor::Asset::Background, "Work:Pics", "Back")
        .reference(qfauthor::Asset::Sound, "Work:Sounds/Effects", "Boom")
        .scene(1)
        .background(0)
        .sound(0, 64, 428, 1)
        .duration(10)
        .end()
        .save(movie);

    qfauthor::WriteReferencedAsset(dir / "unpacked", "Work:Pics", "Back", picture);
    qfauthor::WriteReferencedAsset(dir / "unpacked", "Work:Sounds/Effects", "Boom", sound);
    const std::string expected = Dump(movie, dir / "unpacked");
    ASSERT_NE(expected.find(std::string("\0\xf0\x10\x20", 4)), std::string::npos);  // the picture is shown

    for (uint8_t dosType : {0, 5}) {
        qfauthor::AdfOptions options;
        options.fastFileSystem = dosType & 1;
        options.international = options.directoryCache = dosType & 4;
        fs::path image = dir / ("disk" + std::to_string(dosType) + ".adf");
        qfauthor::AdfWriter(options).file("pics/back", picture).file("Sounds/Effects/Boom", sound).save(image);
        EXPECT_TRUE(Dump(movie, image) == expected) << image;
    }
    fs::path archive =
        dir.write("assets.lha", qfauthor::WriteStoredLha({{"Pics/Back", picture}, {"Sounds/Effects/boom", sound}}));
    EXPECT_TRUE(Dump(movie, archive) == expected);

    // The command takes the same paths: dump's video and audio match the directory's.
    std::vector<Bytes> outputs;
    for (const fs::path &volume : {dir / "unpacked", dir / "disk5.adf", archive}) {
        qftest::Outcome r = qftest::RunQuillframer({"dump", movie.string(), "--volume", "Work=" + volume.string(),
                                                    "--video", (dir / "v").string(), "--audio", (dir / "a").string()},
                                                   dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        Bytes both = qftest::ReadBytes(dir / "v"), audio = qftest::ReadBytes(dir / "a");
        both.insert(both.end(), audio.begin(), audio.end());
        outputs.push_back(both);
    }
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_EQ(outputs[0], outputs[2]);

    // A disk without the file: the open fails naming the volume and the image's reason.
    fs::path empty = dir / "empty.adf";
    qfauthor::AdfWriter().save(empty);
    EXPECT_THROW(Dump(movie, empty), std::runtime_error);
}

// The movie's own disk or archive stands first for every volume it names, whatever its label;
// --volume supplies only what the container lacks, and a folder named like the volume beside a
// movie stands for it as a labelled disk there does.
TEST(VolumeKinds, AMovieTakesItsFilesFromItsOwnContainerFirst)
{
    TempDir dir;
    const Bytes picture = qftest::TwoRowPicture(), sound = Sound();
    qfauthor::IndexedImage blank{16, 2, Bytes(32, 0)};
    const Bytes decoyPicture = qfauthor::WriteIlbm(blank, std::vector<qfauthor::Color>(32, {0, 0, 255}));
    const Bytes movie = qfauthor::MovieWriter()
                            .scenes(1)
                            .reference(qfauthor::Asset::Background, "Work:Pics", "Back")
                            .reference(qfauthor::Asset::Sound, "Work:Sounds/Effects", "Boom")
                            .scene(1)
                            .background(0)
                            .sound(0, 64, 428, 1)
                            .duration(10)
                            .end()
                            .bytes();
    dir.write("alone/movie.qf", movie);
    qfauthor::WriteReferencedAsset(dir / "unpacked", "Work:Pics", "Back", picture);
    qfauthor::WriteReferencedAsset(dir / "unpacked", "Work:Sounds/Effects", "Boom", sound);
    const std::string expected = Dump(dir / "alone/movie.qf", dir / "unpacked");
    qfauthor::WriteReferencedAsset(dir / "decoy", "Work:Pics", "Back", decoyPicture);
    qfauthor::WriteReferencedAsset(dir / "decoy", "Work:Sounds/Effects", "Boom", sound);
    ASSERT_NE(Dump(dir / "alone/movie.qf", dir / "decoy"), expected);

    // A disk labelled otherwise, holding the movie, its picture and not its sound.
    qfauthor::AdfOptions options;
    options.label = "Other";
    const fs::path disk = dir / "other.adf";
    qfauthor::AdfWriter(options).file("Anims/Movie", movie).file("pics/back", picture).save(disk);
    qfhost::HostSettings decoy;
    decoy.volumes["Work"] = dir / "decoy";
    EXPECT_TRUE(DumpWith(disk.string(), decoy) == expected);
    try {
        DumpWith(disk.string(), {});
        ADD_FAILURE() << "opened without the sound";
    } catch (const std::runtime_error &e) {
        const std::string why = e.what();
        EXPECT_NE(why.find("\"Work:Sounds/Effects/Boom\""), std::string::npos) << why;
        EXPECT_NE(why.find("--volume Work=DIR"), std::string::npos) << why;
    }

    // An archive has no label and is still the movie's first place for every volume.
    const fs::path archive =
        dir.write("all.lha",
                  qfauthor::WriteStoredLha({{"Movie", movie}, {"Pics/Back", picture}, {"Sounds/Effects/Boom", sound}}));
    EXPECT_TRUE(DumpWith(archive.string(), decoy) == expected);

    // A folder named like the volume beside the movie, its case aside, without --volume.
    qfauthor::WriteReferencedAsset(dir / "alone/work", "Work:Pics", "Back", picture);
    qfauthor::WriteReferencedAsset(dir / "alone/work", "Work:Sounds/Effects", "Boom", sound);
    qfhost::HostSettings beside;
    beside.searchBesideMovie = true;
    std::string told;
    beside.notice = [&](const std::string &line) { told += line; };
    EXPECT_TRUE(DumpWith((dir / "alone/movie.qf").string(), beside) == expected);
    EXPECT_NE(told.find("the folder beside the movie"), std::string::npos) << told;
}

}  // namespace
