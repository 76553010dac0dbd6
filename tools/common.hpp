// What every subcommand of quillframer shares: the common options, loading the plug-in, opening a
// movie with the volume policy, and how an error ends the command.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qfhost/host.hpp"

namespace qftools {

// Options given before or after the subcommand's name.
struct Context {
    std::vector<std::string> volumes;  // "NAME=DIR", in the order given
    std::string plugin;                // empty: the default plug-in
    bool quiet = false;                // no progress bar
};

// Ends the command with one line on stderr and exit status 1.
class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Adds --volume, --plugin and --quiet to a command that opens movies.
void AddMovieOptions(CLI::App &command, Context &context);
// Adds --quiet alone, for commands that open no movie.
void AddQuietOption(CLI::App &command, Context &context);

// The host settings the options ask for: the given volumes, then a prompt on the terminal when
// stdin is one, else cancel. Throws ToolError on a malformed NAME=DIR.
qfhost::HostSettings MakeSettings(const Context &context, int32_t version = 6);

std::filesystem::path PluginPath(const Context &context);

// A movie together with the plug-in that plays it (the movie goes first).
struct OpenedMovie {
    std::unique_ptr<qfhost::Plugin> plugin;
    std::unique_ptr<qfhost::Movie> movie;
};

// Loads the plug-in (host version 6) and opens the movie with the given option. Throws ToolError
// whose message names the cause.
OpenedMovie OpenMovie(const Context &context, const std::filesystem::path &movie, uint32_t openOption = 0);

// A progress bar belongs on stderr when it is a terminal and --quiet was not given.
bool WantProgress(const Context &context);

// A time option's value (seconds, mm:ss.fff or hh:mm:ss) in milliseconds; throws ToolError naming
// the option otherwise.
uint32_t TimeOption(const char *name, const std::string &text);

}  // namespace qftools
