#include "common.hpp"

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "qfhost/time.hpp"
#include "qfhost/volume.hpp"
#include "qfhost/volume_files.hpp"
#include "qfutil/printable.hpp"
#include "qfutil/process_pool.hpp"

namespace qftools {
namespace fs = std::filesystem;

namespace {

struct VolumeArgument {
    std::string name, path;
};

// NAME=PATH (NAME: accepted too); nullopt otherwise.
std::optional<VolumeArgument> SplitVolume(const std::string &given)
{
    size_t eq = given.find('=');
    std::string name = given.substr(0, eq);
    if (!name.empty() && name.back() == ':') name.pop_back();
    if (eq == std::string::npos || name.empty() || eq + 1 == given.size()) return std::nullopt;
    return VolumeArgument{name, given.substr(eq + 1)};
}

std::string VolumeWanted(const std::string &given) { return "wants NAME=PATH, got \"" + given + "\""; }

// Each occurrence adds to the context, wherever on the line it stands.
void AddVolumeOption(CLI::App &command, Context &context)
{
    static std::vector<std::string> ignored;
    command
        .add_option("--volume", ignored,
                    "Use PATH for the Amiga volume NAME: a directory, an ADF disk image (gzipped too) or an "
                    "LHA/LZH, ZIP, 7-Zip or tar archive, or one inside another (set.zip:Disk1.adz) (repeatable), "
                    "e.g. --volume Work=./amiga/Work or --volume Work=work.adf")
        ->type_name("NAME=PATH")
        ->allow_extra_args(false)
        ->each([&context](const std::string &v) {
            if (!SplitVolume(v)) throw CLI::ValidationError(VolumeWanted(v));  // CLI11 puts --volume in front
            context.volumes.push_back(v);
        });
}

void AddSearchOption(CLI::App &command, Context &context)
{
    static std::vector<std::string> ignored;
    command
        .add_option("--search", ignored,
                    "Look in DIR for a disk image whose label is a volume the movie names but no --volume maps "
                    "(after the movie's own folder; repeatable)")
        ->type_name("DIR")
        ->allow_extra_args(false)
        ->each([&context](const std::string &v) { context.searchDirs.push_back(v); });
}

}  // namespace

fs::path ExpandHome(const std::string &path)
{
    if (!path.starts_with("~")) return path;
    size_t slash = path.find('/');
    std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string rest = slash == std::string::npos ? "" : path.substr(slash + 1);
    const char *home = nullptr;
    if (user.empty()) home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd *entry = user.empty() ? ::getpwuid(::getuid()) : ::getpwnam(user.c_str());
        if (!entry) return path;  // "~nobody-here/x" is taken as a name, as a shell would
        home = entry->pw_dir;
    }
    return rest.empty() ? fs::path(home) : fs::path(home) / rest;
}

void PrintJsonError(const std::string &message, int status, const std::string &movie)
{
    nlohmann::ordered_json j;
    if (!movie.empty()) j["file"] = MovieName(movie);
    j["error"] = message;
    j["status"] = status;
    std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    std::fflush(stdout);
}

void AddQuietOption(CLI::App &command, Context &context)
{
    command.add_flag_callback(
        "--quiet,-q", [&context] { context.quiet = true; }, "Show no progress bar");
}

void AddMovieOptions(CLI::App &command, Context &context)
{
    AddVolumeOption(command, context);
    AddSearchOption(command, context);
    command
        .add_option_function<std::string>(
            "--plugin", [&context](const std::string &p) { context.plugin = p; },
            "The plug-in to load (default: $QUILLFRAMER_PLUGIN, else quillframer.vtp beside this program)")
        ->type_name("PATH");
    command
        .add_option_function<uint64_t>(
            "--max-pixels", [&context](uint64_t n) { context.maxPixels = n; },
            "Refuse a movie whose picture has more pixels than this (default 67108864, 64 megapixels)")
        ->type_name("N");
    command
        .add_option_function<uint64_t>(
            "--max-file-size", [&context](uint64_t n) { context.maxFileBytes = n; },
            "Refuse a movie, picture, face set or sound on a disk image or in an archive that holds more bytes "
            "than this (default 67108864, 64 MB)")
        ->type_name("BYTES");
    AddQuietOption(command, context);
}

void AddOverwriteOptions(CLI::App &command, Context &context)
{
    auto *yes = command.add_flag_callback(
        "-y,--overwrite", [&context] { context.overwrite = qfutil::Overwrite::Always; }, "Replace existing outputs");
    auto *no = command.add_flag_callback(
        "-n,--no-overwrite", [&context] { context.overwrite = qfutil::Overwrite::Never; },
        "Never replace an existing output (default: ask on a terminal, else refuse)");
    yes->excludes(no);
}

qfutil::Outputs CommandOutputs(const Context &context, std::initializer_list<fs::path> inputs)
{
    qfutil::Outputs outputs(context.overwrite);
    for (const fs::path &input : inputs) outputs.addInput(qfhost::HostFileOf(input.string()));
    return outputs;
}

qfhost::HostSettings MakeSettings(const Context &context, int32_t version)
{
    qfhost::HostSettings settings;
    settings.version = version;
    for (const std::string &given : context.volumes) {
        const std::optional<VolumeArgument> volume = SplitVolume(given);
        if (!volume) throw BadUsage("--volume " + VolumeWanted(given));
        const auto &[name, path] = *volume;
        // The shell leaves the ~ of NAME=~/x alone.
        fs::path dir = ExpandHome(path);
        std::error_code ec;
        // A container inside containers (set.zip:Disk1.adz) is mapped by its served form.
        bool nested = false;
        if (!fs::exists(dir, ec))
            if (std::optional<qfhost::ImagePath> split = qfhost::SplitImagePath(dir.string());
                split && split->inside.empty())
                dir = split->image, nested = true;
        if (!qfhost::Volume::Detect(dir)) {
            // A place inside containers that cannot be opened (a partition of a foreign file
            // system) says why.
            if (nested) try {
                    (void)qfhost::Volume::Open(dir);
                } catch (const qfhost::VolumeError &e) {
                    throw ToolError("--volume " + name + "=" + ExpandHome(path).string() + ": " + e.what());
                }
            throw ToolError("--volume " + name + "=" + ExpandHome(path).string() +
                            ": not a directory, an AmigaDOS disk image or an archive (LHA, ZIP, 7-Zip, tar)");
        }
        settings.volumes[name] = fs::absolute(dir, ec);
    }
    settings.searchBesideMovie = true;
    settings.volumeLimits.fileBytes = context.maxFileBytes;
    for (const std::string &dir : context.searchDirs) settings.searchDirectories.emplace_back(dir);
    settings.notice = [](const std::string &line) { std::fprintf(stderr, "quillframer: %s\n", line.c_str()); };
    // An unknown volume is asked for only when someone can answer.
    settings.policy = ::isatty(STDIN_FILENO) ? qfhost::RequesterPolicy::Terminal : qfhost::RequesterPolicy::FixedMap;
    if (context.unattended) {
        settings.policy = qfhost::RequesterPolicy::FixedMap;
        settings.searchBesideMovie = false;
        settings.notice = nullptr;
    }
    return settings;
}

fs::path PluginPath(const Context &context)
{
    return context.plugin.empty() ? qfhost::Plugin::defaultPath() : ExpandHome(context.plugin);
}

namespace {

// Standard input, read whole the first time, in an anonymous in-memory file: the host opens it by
// its /proc path like any file, a playlist can go back to it, and nothing is left on disk.
std::string StandardInputFile(uint64_t limit)
{
    static int descriptor = -1;
    if (descriptor >= 0) return "/proc/self/fd/" + std::to_string(descriptor);
    if (::isatty(STDIN_FILENO)) throw BadUsage("- reads a movie from standard input, which is a terminal");
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    while (true) {
        ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ToolError(std::string("cannot read standard input: ") + std::strerror(errno));
        if (n == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (bytes.size() > limit)
            throw ToolError("standard input holds more than " + std::to_string(limit) +
                            " bytes; --max-file-size raises the limit");
    }
    if (bytes.empty()) throw ToolError("standard input is empty: no movie to read");
    const int fd = ::memfd_create("standard input", MFD_CLOEXEC);
    if (fd < 0) throw ToolError(std::string("cannot hold standard input: ") + std::strerror(errno));
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            throw ToolError(std::string("cannot hold standard input: ") + std::strerror(error));
        }
        done += static_cast<size_t>(n);
    }
    descriptor = fd;
    return "/proc/self/fd/" + std::to_string(descriptor);
}

}  // namespace

std::string MovieName(const std::string &movie) { return movie == "-" ? "standard input" : movie; }

fs::path MovieFileName(const fs::path &movie)
{
    std::error_code ec;
    if (movie == "-" || fs::exists(movie, ec)) return movie.filename();
    std::optional<qfhost::ImagePath> split;
    try {
        split = qfhost::SplitImagePath(movie.string());
    } catch (const qfhost::VolumeError &) {
        // opening the movie says why
    }
    if (!split) return movie.filename();
    const std::string inside = split->inside;
    if (inside.empty()) return fs::path(split->image).filename();
    return inside.substr(inside.find_last_of('/') + 1);
}

std::string ServedMovie(const std::string &movie, qfhost::HostSettings &settings)
{
    if (movie == "-") {
        settings.searchBesideMovie = false;  // it has no folder
        return StandardInputFile(settings.volumeLimits.fileBytes);
    }
    try {
        return qfhost::ResolveMovieArgument(movie, settings);
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
}

std::string Count(size_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Messages name a movie inside an image as it was given, not by the path the host serves.
std::string AsGiven(std::string text, const std::string &served, const std::string &given)
{
    for (size_t at = 0; served != given && (at = text.find(served, at)) != std::string::npos; at += given.size())
        text.replace(at, served.size(), given);
    return text;
}

OpenedMovie OpenMovie(const Context &context, const fs::path &movie, uint32_t openOption)
{
    OpenedMovie opened;
    qfhost::HostSettings settings = MakeSettings(context);
    const std::string &served = opened.served = ServedMovie(movie.string(), settings);
    try {
        opened.plugin = std::make_unique<qfhost::Plugin>(PluginPath(context), std::move(settings));
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
    auto asGiven = [&](std::string text) { return AsGiven(std::move(text), served, MovieName(movie.string())); };
    try {
        opened.movie = opened.plugin->open(served, openOption);
    } catch (const qfhost::OpenError &e) {
        for (const std::string &warning : e.warnings)
            std::fprintf(stderr, "quillframer: warning: %s\n", asGiven(warning).c_str());
        throw ToolError(asGiven(e.what()));
    } catch (const std::runtime_error &e) {
        throw ToolError(asGiven(e.what()));
    }
    // Before the host allocates any frame: a few bytes of movie may declare gigabytes of picture.
    CheckPixelBudget(context, opened.movie->width(), opened.movie->height());
    return opened;
}

void AddInputsRead(qfhost::Host &host, qfutil::Outputs &outputs)
{
    for (const auto &[device, inode] : host.filesRead()) outputs.addInput(device, inode);
    for (const auto &[volume, location] : host.settings().volumes) outputs.addInput(location);
}

void CheckPixelBudget(const Context &context, int width, int height)
{
    const uint64_t w = static_cast<uint32_t>(std::max(0, width));
    const uint64_t h = static_cast<uint32_t>(std::max(0, height));
    if (w * h > context.maxPixels)
        throw ToolError("picture is " + std::to_string(w) + "x" + std::to_string(h) + " (" + std::to_string(w * h) +
                        " pixels), above the limit of " + std::to_string(context.maxPixels) +
                        " pixels; --max-pixels raises it");
}

bool WantProgress(const Context &context) { return !context.quiet && ::isatty(STDERR_FILENO); }

uint32_t TimeOption(const char *name, const std::string &text)
{
    std::optional<uint64_t> ms = qfhost::ParseTime(text);
    if (!ms || *ms > UINT32_MAX)
        throw BadUsage(std::string(name) + ": \"" + text + "\" is not a time (seconds, mm:ss.fff or hh:mm:ss)");
    return static_cast<uint32_t>(*ms);
}

qfmedia::StillFormat StillOutput(const std::string &out)
{
    try {
        return qfmedia::StillFormatOf(out);
    } catch (const std::runtime_error &e) {
        throw BadUsage(qfutil::Printable(out) + ": " + e.what());
    }
}

void RequireNamePerMovie(const std::vector<std::string> &movies, const std::string &out, const char *example)
{
    if (movies.size() > 1 && NameOutput(out, "a") == NameOutput(out, "b"))
        throw BadUsage(std::string("several movies need %n in -o, such as ") + example);
}

}  // namespace qftools

// Batch plumbing: several movies per command.
namespace qftools {

void AddPictureOptions(CLI::App &command, PictureOptions &picture, bool withFit)
{
    command
        .add_option_function<std::string>(
            "--aspect",
            [&picture](const std::string &name) {
                if (auto aspect = qfmedia::ParseAspect(name)) picture.aspect = *aspect;
                else throw CLI::ValidationError("--aspect", "square, pal or ntsc, not \"" + name + "\"");
            },
            "The Amiga screen's pixel shape: square (default), pal (16:15) or ntsc (5:6)")
        ->type_name("square|pal|ntsc");
    if (!withFit) return;
    command
        .add_option_function<std::string>(
            "--fit",
            [&picture](const std::string &text) {
                if (auto size = qfmedia::ParseSize(text)) picture.fit = *size;
                else throw CLI::ValidationError("--fit", "wants WIDTHxHEIGHT, such as 1920x1080, not \"" + text + "\"");
            },
            "Scale by the largest integer factor that fits WxH and pad to exactly that size")
        ->type_name("WxH");
}

void AddJobsOption(CLI::App &command, int &jobs)
{
    command.add_option("-j,--jobs", jobs, "Convert N movies at once, each in its own process (default 1)")
        ->type_name("N")
        ->check(CLI::Range(1, 64));
}

std::string NameOutput(const std::string &out, const fs::path &movie)
{
    std::string named;
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '%' && i + 1 < out.size() && out[i + 1] == '%') {  // a frame pattern's own %%
            named += "%%";
            ++i;
        } else if (out[i] == '%' && i + 1 < out.size() && out[i + 1] == 'n') {
            named += movie == "-" ? "stdin" : MovieFileName(movie).stem().string();
            ++i;
        } else {
            named += out[i];
        }
    }
    return named;
}

namespace {

// In the child: the movie's command; its error is printed there, its status is the child's.
int RunChild(const Context &context, const std::string &movie, const std::function<void(const std::string &)> &run)
{
    auto fail = [&](const std::string &message, int status) {
        std::fprintf(stderr, "quillframer: %s: %s\n", qfutil::Printable(MovieName(movie)).c_str(),
                     qfutil::Printable(message).c_str());
        if (context.json) PrintJsonError(message, status, movie);
        return status;
    };
    try {
        run(movie);
    } catch (const BadUsage &e) {
        return fail(e.what(), 2);
    } catch (const std::bad_alloc &) {
        return fail("out of memory", 1);
    } catch (const std::exception &e) {
        return fail(e.what(), 1);
    }
    return 0;
}

}  // namespace

void ForEachMovie(Context &context, const std::vector<std::string> &movies, int jobs,
                  const std::function<void(const std::string &)> &run)
{
    if (movies.size() == 1) return run(movies[0]);
    // Read before the children part: each of them sees all of it.
    if (std::find(movies.begin(), movies.end(), "-") != movies.end()) StandardInputFile(context.maxFileBytes);
    context.noBars = context.noBars || jobs > 1;
    std::vector<std::string> failed;
    auto child = [&](size_t i) { return RunChild(context, movies[i], run); };
    auto done = [&](const qfutil::ChildDone &worker) {
        std::fwrite(worker.output.data(), 1, worker.output.size(), stdout);
        std::fflush(stdout);
        if (!WIFEXITED(worker.status) || WEXITSTATUS(worker.status) != 0) {
            if (WIFSIGNALED(worker.status))
                std::fprintf(stderr, "quillframer: %s: stopped by signal %d\n",
                             qfutil::Printable(MovieName(movies[worker.index])).c_str(), WTERMSIG(worker.status));
            failed.push_back(movies[worker.index]);
        }
    };
    try {
        qfutil::RunInChildren(movies.size(), jobs, jobs <= 1, child, done);
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
    const std::string count = std::to_string(movies.size()) + " movies";
    if (failed.empty()) {
        if (!context.quiet) std::fprintf(stderr, "quillframer: %s, all done\n", count.c_str());
        return;
    }
    std::string names;
    for (const std::string &movie : failed) names += (names.empty() ? "" : ", ") + qfutil::Printable(MovieName(movie));
    throw ToolError(count + ", " + std::to_string(movies.size() - failed.size()) + " done, " +
                    std::to_string(failed.size()) + " failed: " + names);
}

}  // namespace qftools
