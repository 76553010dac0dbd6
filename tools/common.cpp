#include "common.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

#include "qfhost/time.hpp"
#include "qfhost/volume.hpp"

namespace qftools {
namespace fs = std::filesystem;

namespace {

// Each occurrence adds to the context, wherever on the line it stands.
void AddVolumeOption(CLI::App &command, Context &context)
{
    static std::vector<std::string> ignored;
    command
        .add_option("--volume", ignored,
                    "Use PATH for the Amiga volume NAME: a directory, an ADF disk image or an LHA/LZH archive "
                    "(repeatable), e.g. --volume Work=./amiga/Work or --volume Work=work.adf")
        ->type_name("NAME=PATH")
        ->allow_extra_args(false)
        ->each([&context](const std::string &v) { context.volumes.push_back(v); });
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

void AddQuietOption(CLI::App &command, Context &context)
{
    command.add_flag_callback("--quiet,-q", [&context] { context.quiet = true; }, "Show no progress bar");
}

void AddMovieOptions(CLI::App &command, Context &context)
{
    AddVolumeOption(command, context);
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
    AddQuietOption(command, context);
}

void AddOverwriteOptions(CLI::App &command, Context &context)
{
    auto *yes = command.add_flag_callback(
        "-y,--overwrite", [&context] { context.overwrite = qfhost::Overwrite::Always; }, "Replace existing outputs");
    auto *no = command.add_flag_callback(
        "-n,--no-overwrite", [&context] { context.overwrite = qfhost::Overwrite::Never; },
        "Never replace an existing output (default: ask on a terminal, else refuse)");
    yes->excludes(no);
}

qfhost::Outputs CommandOutputs(const Context &context, std::initializer_list<fs::path> inputs)
{
    qfhost::Outputs outputs(context.overwrite);
    for (const fs::path &input : inputs) outputs.addInput(input);
    return outputs;
}

qfhost::HostSettings MakeSettings(const Context &context, int32_t version)
{
    qfhost::HostSettings settings;
    settings.version = version;
    for (const std::string &given : context.volumes) {
        size_t eq = given.find('=');
        std::string name = given.substr(0, eq);
        if (!name.empty() && name.back() == ':') name.pop_back();
        if (eq == std::string::npos || name.empty() || eq + 1 == given.size())
            throw ToolError("--volume wants NAME=PATH, got \"" + given + "\"");
        // The shell leaves the ~ of NAME=~/x alone.
        fs::path dir = ExpandHome(given.substr(eq + 1));
        std::error_code ec;
        if (!qfhost::Volume::Detect(dir))
            throw ToolError("--volume " + name + "=" + dir.string() +
                            ": not a directory, an AmigaDOS disk image or an LHA archive");
        settings.volumes[name] = fs::absolute(dir, ec);
    }
    // An unknown volume is asked for only when someone can answer.
    settings.policy = ::isatty(STDIN_FILENO) ? qfhost::RequesterPolicy::Terminal : qfhost::RequesterPolicy::FixedMap;
    return settings;
}

fs::path PluginPath(const Context &context)
{
    return context.plugin.empty() ? qfhost::Plugin::defaultPath() : ExpandHome(context.plugin);
}

OpenedMovie OpenMovie(const Context &context, const fs::path &movie, uint32_t openOption)
{
    OpenedMovie opened;
    qfhost::HostSettings settings = MakeSettings(context);
    try {
        opened.plugin = std::make_unique<qfhost::Plugin>(PluginPath(context), std::move(settings));
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
    try {
        opened.movie = opened.plugin->open(movie, openOption);
    } catch (const qfhost::OpenError &e) {
        for (const std::string &warning : e.warnings) std::fprintf(stderr, "quillframer: warning: %s\n", warning.c_str());
        throw ToolError(e.what());
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
    // Before the host allocates any frame: a few bytes of movie may declare gigabytes of picture.
    const uint64_t w = static_cast<uint32_t>(std::max(0, opened.movie->width()));
    const uint64_t h = static_cast<uint32_t>(std::max(0, opened.movie->height()));
    if (w * h > context.maxPixels)
        throw ToolError("picture is " + std::to_string(w) + "x" + std::to_string(h) + " (" + std::to_string(w * h) +
                        " pixels), above the limit of " + std::to_string(context.maxPixels) +
                        " pixels; --max-pixels raises it");
    return opened;
}

bool WantProgress(const Context &context) { return !context.quiet && ::isatty(STDERR_FILENO); }

uint32_t TimeOption(const char *name, const std::string &text)
{
    std::optional<uint64_t> ms = qfhost::ParseTime(text);
    if (!ms || *ms > UINT32_MAX)
        throw ToolError(std::string(name) + ": \"" + text + "\" is not a time (seconds, mm:ss.fff or hh:mm:ss)");
    return static_cast<uint32_t>(*ms);
}

}  // namespace qftools
