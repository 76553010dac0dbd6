// quillframer extract: the files of a disk image or archive (or of one folder on it) into a folder,
// or a movie's pictures, faces and sounds with a make script that makes it again.
#include "volume_glue.hpp"

namespace qftools {

// In extract_movie.cpp.
void RunExtractMovie(const Context &context, const std::string &movie, const std::string &directory);

namespace {
struct ExtractOptions {
    std::string source, out;
    bool salvage = false;
};
}  // namespace

void RegisterExtract(CLI::App &app, Context &context)
{
    auto o = std::make_shared<ExtractOptions>();
    CLI::App *command = app.add_subcommand(
        "extract", "Copy the files of a disk image or archive (IMAGE, IMAGE:folder for one folder, IMAGE:file for\n"
                   "one file) into DIR, with their folders and dates; names become UTF-8, links are reported and\n"
                   "skipped. For a MOVIE (or IMAGE:path of one): write its backgrounds and faces as indexed PNGs, its "
                   "sounds as 8-bit WAVs and\n"
                   "movie.json, a script for `quillframer make` that makes the same movie again.");
    command->add_option("SOURCE", o->source, "A disk image or archive, IMAGE:folder, IMAGE:file, or a movie")
        ->required();
    command->add_option("-o,--output", o->out, "The folder to write into")->required()->type_name("DIR");
    command->add_flag("--salvage", o->salvage,
                      "Also write what can be read of a damaged file: from a disk image every readable block, zeros "
                      "in place of the rest; from an archive, up to its damage (each is still reported)");
    AddMovieOptions(*command, context);
    AddOverwriteOptions(*command, context);
    command->callback([&context, o] {
        // IMAGE:path of a movie is that movie, as a movie file is.
        if (IsVolumeArgument(o->source) && !IsMovieOnVolume(o->source))
            RunExtractVolume(context, o->source, o->out, o->salvage);
        else RunExtractMovie(context, o->source, o->out);
    });
}

}  // namespace qftools
