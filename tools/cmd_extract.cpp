// quillframer extract: the files of a disk image or archive (or of one folder on it) into a folder.
// Movie assets are extracted by the movie branch of this same subcommand.
#include "volume_glue.hpp"

namespace qftools {

namespace {
struct ExtractOptions {
    std::string source, out;
};
}  // namespace

void RegisterExtract(CLI::App &app, Context &context)
{
    auto o = std::make_shared<ExtractOptions>();
    CLI::App *command = app.add_subcommand(
        "extract", "Copy the files of a disk image or archive (IMAGE, or IMAGE:folder for one folder) into DIR,\n"
                   "with their folders and dates; names become UTF-8, links are reported and skipped.");
    command->add_option("SOURCE", o->source, "A disk image or archive, or IMAGE:folder")->required();
    command->add_option("-o,--output", o->out, "The folder to write into")->required()->type_name("DIR");
    AddQuietOption(*command, context);
    AddOverwriteOptions(*command, context);
    command->callback([&context, o] {
        if (!IsVolumeArgument(o->source))
            throw ToolError("\"" + o->source + "\" is no disk image or archive");
        RunExtractVolume(context, o->source, o->out);
    });
}

}  // namespace qftools
