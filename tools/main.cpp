// quillframer: plays, inspects and converts Quill Framer movies through quillframer.vtp.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>

#include "common.hpp"
#include "media/versions.hpp"
#include "qfutil/printable.hpp"
#include "qfutil/suggest.hpp"

namespace qftools {
// One per subcommand, each in its cmd_*.cpp.
void RegisterInfo(CLI::App &app, Context &context);
void RegisterDump(CLI::App &app, Context &context);
void RegisterExport(CLI::App &app, Context &context);
void RegisterExtract(CLI::App &app, Context &context);
void RegisterFrame(CLI::App &app, Context &context);
void RegisterSheet(CLI::App &app, Context &context);
void RegisterPlay(CLI::App &app, Context &context);
void RegisterMake(CLI::App &app, Context &context);
void RegisterDemo(CLI::App &app, Context &context);
void RegisterThumbnail(CLI::App &app, Context &context);
void RegisterScan(CLI::App &app, Context &context);
void RegisterGallery(CLI::App &app, Context &context);
// describe.cpp: the options as JSON, for scripts/gen-docs.py.
int DescribeOptions(const CLI::App &app);

namespace {

// The command, the plug-in it would load (if it loads) and the libraries in use.
void PrintVersion(const Context &context)
{
    std::printf("quillframer %s\n", QF_VERSION);
    try {
        qfhost::Plugin plugin(PluginPath(context));
        const PluginInfo &info = plugin.info();
        std::printf("plug-in: %s %d.%d (%s), %s\n", qfutil::Printable(info.name ? info.name : "?").c_str(),
                    info.version, info.revision, qfutil::Printable(info.date ? info.date : "?").c_str(),
                    PluginPath(context).c_str());
    } catch (const std::exception &e) {
        std::printf("plug-in: not loaded (%s)\n", qfutil::Printable(e.what()).c_str());
    }
    for (const auto &[library, version] : qfmedia::LibraryVersions())
        std::printf("%s %s\n", library.c_str(), version.c_str());
}

// The first word that is neither an option nor an option's value: what the user meant as the subcommand.
const char *SubcommandWord(int argc, char **argv)
{
    static constexpr std::array<std::string_view, 5> withValue = {"--volume", "--plugin", "--max-pixels", "--search",
                                                                  "--max-file-size"};
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--") return i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg.starts_with("-")) {
            if (std::find(withValue.begin(), withValue.end(), arg) != withValue.end()) ++i;
            continue;
        }
        return argv[i];
    }
    return nullptr;
}

int UsageError(const std::string &message)
{
    std::fprintf(stderr, "quillframer: %s\n", qfutil::Printable(message).c_str());
    return 2;
}

// One line on stderr, and with --json the same as a JSON object on stdout.
int Fail(const Context &context, const std::string &message, int status)
{
    std::fprintf(stderr, "quillframer: %s\n", qfutil::Printable(message).c_str());
    if (context.json) PrintJsonError(message, status);
    return status;
}

// `help [COMMAND]` is `[COMMAND] --help`, as in git.
std::vector<char *> HelpAsOption(int argc, char **argv)
{
    std::vector<char *> args(argv, argv + argc);
    const char *word = SubcommandWord(argc, argv);
    if (!word || std::string_view(word) != "help") return args;
    // `help --help` is about help itself.
    for (char *arg : args)
        if (std::string_view(arg) == "--help" || std::string_view(arg) == "-h") return args;
    args.erase(std::find(args.begin(), args.end(), word));
    static char help[] = "--help";
    args.push_back(help);
    return args;
}

}  // namespace
}  // namespace qftools

int main(int argc, char **argv)
{
    using namespace qftools;
    Context context;
    CLI::App app("Plays, inspects and converts Amiga Quill Framer movies through the quillframer.vtp plug-in.\n"
                 "Pictures, faces and sounds that a movie names by Amiga path (Work:Anims/Hero) are looked for\n"
                 "in the directory given with --volume Work=DIR; on a terminal an unknown volume is asked for.",
                 "quillframer");
    AddMovieOptions(app, context);
    bool version = false;
    app.add_flag("--version,-V", version, "Name the command, the plug-in and the libraries, and stop");

    RegisterInfo(app, context);
    RegisterDump(app, context);
    RegisterExport(app, context);
    RegisterExtract(app, context);
    RegisterFrame(app, context);
    RegisterSheet(app, context);
    RegisterPlay(app, context);
    RegisterMake(app, context);
    RegisterDemo(app, context);
    RegisterThumbnail(app, context);
    RegisterScan(app, context);
    RegisterGallery(app, context);
    app.add_subcommand("help", "Show this usage, or a command's: help COMMAND is COMMAND --help")
        ->add_option("COMMAND", "The command to explain");
    // Hidden: the man page, the completions and docs/commands.md are written from this.
    if (argc == 2 && std::string_view(argv[1]) == "--describe-options") return DescribeOptions(app);

    std::vector<char *> args = HelpAsOption(argc, argv);
    argc = static_cast<int>(args.size());
    argv = args.data();
    try {
        if (const char *word = SubcommandWord(argc, argv)) {
            std::vector<std::string_view> names;
            for (const CLI::App *sub : app.get_subcommands({})) names.emplace_back(sub->get_name());
            if (std::find(names.begin(), names.end(), word) == names.end()) {
                std::string message = "unknown command '" + std::string(word) + "'";
                if (auto near = qfutil::Nearest(word, names)) message += " \u2014 did you mean '" + *near + "'?";
                return UsageError(message);
            }
        }
        app.parse(argc, argv);
        if (version) {
            PrintVersion(context);
            return 0;
        }
        if (app.get_subcommands().empty()) {
            // The usage is the answer to a bare command; a script still sees the usage error's 2.
            std::fprintf(stderr, "%s", app.help().c_str());
            return 2;
        }
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        return Fail(context, e.what(), 2);
    } catch (const BadUsage &e) {
        return Fail(context, e.what(), 2);
    } catch (const std::bad_alloc &) {
        return Fail(context, "out of memory", 1);
    } catch (const std::exception &e) {
        return Fail(context, e.what(), 1);
    }
    return 0;
}
