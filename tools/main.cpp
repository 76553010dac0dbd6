// quillframer: plays, inspects and converts Quill Framer movies through quillframer.vtp.
#include <cstdio>
#include <exception>
#include <new>

#include "common.hpp"
#include "qfhost/printable.hpp"

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
}  // namespace qftools

int main(int argc, char **argv)
{
    using namespace qftools;
    Context context;
    CLI::App app("Plays, inspects and converts Amiga Quill Framer movies through the quillframer.vtp plug-in.\n"
                 "Pictures, faces and sounds that a movie names by Amiga path (Work:Anims/Hero) are looked for\n"
                 "in the directory given with --volume Work=DIR; on a terminal an unknown volume is asked for.",
                 "quillframer");
    app.require_subcommand(1);
    AddMovieOptions(app, context);

    RegisterInfo(app, context);
    RegisterDump(app, context);
    RegisterExport(app, context);
    RegisterExtract(app, context);
    RegisterFrame(app, context);
    RegisterSheet(app, context);
    RegisterPlay(app, context);
    RegisterMake(app, context);
    RegisterDemo(app, context);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "quillframer: out of memory\n");
        return 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "quillframer: %s\n", qfhost::Printable(e.what()).c_str());
        return 1;
    }
    return 0;
}
