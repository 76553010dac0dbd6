#include "common.hpp"

#include <cstdio>
#include <unistd.h>

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
    AddQuietOption(command, context);
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
        fs::path dir = given.substr(eq + 1);
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
    return context.plugin.empty() ? qfhost::Plugin::defaultPath() : fs::path(context.plugin);
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
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
    return opened;
}

bool WantProgress(const Context &context) { return !context.quiet && ::isatty(STDERR_FILENO); }

std::string ClockText(uint32_t ms)
{
    uint32_t hours = ms / 3600000, minutes = ms / 60000 % 60, seconds = ms / 1000 % 60, rest = ms % 1000;
    char text[32];
    if (hours)
        std::snprintf(text, sizeof text, "%u:%02u:%02u.%03u", hours, minutes, seconds, rest);
    else
        std::snprintf(text, sizeof text, "%02u:%02u.%03u", minutes, seconds, rest);
    return text;
}

}  // namespace qftools
