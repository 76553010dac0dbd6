// What every subcommand of quillframer shares: the common options, loading the plug-in, opening a
// movie with the volume policy, and how an error ends the command.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qfhost/host.hpp"
#include "qfutil/output.hpp"
#include "media/image.hpp"
#include "media/still.hpp"

namespace qftools {

// Options given before or after the subcommand's name.
struct Context {
    std::vector<std::string> volumes;                          // "NAME=DIR", in the order given
    std::vector<std::string> searchDirs;                       // --search: where disk images are looked for by label
    std::string plugin;                                        // empty: the default plug-in
    bool quiet = false;                                        // no progress bar
    qfutil::Overwrite overwrite = qfutil::Overwrite::Ask;      // -y / -n
    uint64_t maxPixels = uint64_t{64} << 20;                   // --max-pixels: larger pictures are refused at the open
    uint64_t maxFileBytes = qfhost::VolumeLimits{}.fileBytes;  // --max-file-size: for a file read whole from an image
    bool noBars = false;  // movies converted side by side: their bars would overwrite each other
    bool json = false;    // --json: a failure is also told on stdout, as a JSON object
    // No one to ask and nothing to tell: only the mapped volumes answer (scan resolves them itself).
    bool unattended = false;
};

// Ends the command with one line on stderr and exit status 1.
class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A bad option value found after parsing: one line on stderr and exit status 2, as CLI11's own.
class BadUsage : public ToolError {
public:
    using ToolError::ToolError;
};

// A failure as one JSON line on stdout, for --json: {"file": movie (when given), "error": message,
// "status": exit status}.
void PrintJsonError(const std::string &message, int status, const std::string &movie = "");

// Adds --volume, --search, --plugin and --quiet to a command that opens movies.
void AddMovieOptions(CLI::App &command, Context &context);
// Adds --quiet alone, for commands that open no movie.
void AddQuietOption(CLI::App &command, Context &context);
// Adds -y/--overwrite and -n/--no-overwrite, for commands that write files.
void AddOverwriteOptions(CLI::App &command, Context &context);

// Every file a command writes goes through this: never onto one of its inputs, never half-written,
// an existing file replaced only as -y / -n / the terminal say. An input named IMAGE:path makes
// the disk image or archive an input.
qfutil::Outputs CommandOutputs(const Context &context, std::initializer_list<std::filesystem::path> inputs);

// The host settings the options ask for: the given volumes, then a prompt on the terminal when
// stdin is one, else cancel. Throws ToolError on a malformed NAME=DIR.
qfhost::HostSettings MakeSettings(const Context &context, int32_t version = 6);

// A leading ~ or ~user as a shell would expand it, for the paths the shell does not see (NAME=~/x,
// --plugin=~/x).
std::filesystem::path ExpandHome(const std::string &path);

std::filesystem::path PluginPath(const Context &context);

// A movie together with the plug-in that plays it (the movie goes first).
struct OpenedMovie {
    std::unique_ptr<qfhost::Plugin> plugin;
    std::unique_ptr<qfhost::Movie> movie;
    std::string served;  // the name the plug-in opened (a path inside an image is served by the host)
};

// The name the host serves for a movie argument: the file itself, a movie inside a disk image
// or archive (settings learn the image's volume), or for "-" standard input, read whole once (at
// most settings.volumeLimits.fileBytes) into an in-memory file. Throws ToolError.
std::string ServedMovie(const std::string &movie, qfhost::HostSettings &settings);
// A message about the served name, naming the movie as it was given instead.
std::string AsGiven(std::string text, const std::string &served, const std::string &given);

// How messages name a movie argument: "standard input" for "-".
std::string MovieName(const std::string &movie);
// The movie's own file name, for titles and %n: through containers (set.zip:Disk1.adz:bounce.movie)
// the last member's, never the whole way with its ':'s; "-" stays "-".
std::filesystem::path MovieFileName(const std::filesystem::path &movie);

// "1 scene", "3 scenes".
std::string Count(size_t n, const char *one, const char *many);

// Loads the plug-in (host version 6) and opens the movie with the given option: a file, a disk image
// or archive holding one movie, or IMAGE:path/inside. Throws ToolError
// whose message names the cause, also for a picture above context.maxPixels.
OpenedMovie OpenMovie(const Context &context, const std::filesystem::path &movie, uint32_t openOption = 0);

// Everything the host read for a movie (its files, and every mapped volume's folder, disk image or
// archive) becomes an input of outputs: none of it can be written over.
void AddInputsRead(qfhost::Host &host, qfutil::Outputs &outputs);

// Throws ToolError when a width x height picture is above context.maxPixels.
void CheckPixelBudget(const Context &context, int width, int height);

// A progress bar belongs on stderr when it is a terminal and --quiet was not given.
bool WantProgress(const Context &context);

// A time option's value (seconds, mm:ss.fff or hh:mm:ss) in milliseconds; throws BadUsage naming
// the option otherwise.
uint32_t TimeOption(const char *name, const std::string &text);

// The format -o names for frame and sheet; throws BadUsage for an extension it cannot write.
qfmedia::StillFormat StillOutput(const std::string &out);

// Refuses (BadUsage) several movies into one -o without %n; example is such an -o.
void RequireNamePerMovie(const std::vector<std::string> &movies, const std::string &out, const char *example);

// --aspect square|pal|ntsc and, when fit is given, --fit WxH.
struct PictureOptions {
    qfmedia::PixelAspect aspect = qfmedia::PixelAspect::Square;
    std::optional<qfmedia::Size> fit;
};
void AddPictureOptions(CLI::App &command, PictureOptions &picture, bool withFit);

// -j N, how many movies are converted at once.
void AddJobsOption(CLI::App &command, int &jobs);

// out with each %n replaced by the movie's name (its file name without the extension; "stdin" for "-").
std::string NameOutput(const std::string &out, const std::filesystem::path &movie);

// Runs `run` for each movie. One movie runs here, and its error ends the command as usual.
// Several each run in a process of their own (their own plug-in handle and host), `jobs` at a
// time: a movie's output is printed whole when it is done, a failure does not stop the others,
// and at the end a summary; a ToolError names the failed ones.
void ForEachMovie(Context &context, const std::vector<std::string> &movies, int jobs,
                  const std::function<void(const std::string &movie)> &run);

}  // namespace qftools
