// quillframer make: author a movie from a JSON script (see docs/make-script.md).
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "common.hpp"
#include "authoring/script/make_script.hpp"
#include "qfhost/time.hpp"

namespace qftools {

namespace {

struct MakeCommand {
    std::string script, out;
    qfauthor::MakeOptions options;
};

}  // namespace

void RegisterMake(CLI::App &app, Context &context)
{
    auto o = std::make_shared<MakeCommand>();
    CLI::App *command = app.add_subcommand(
        "make", "Author a movie from a JSON script, indexed PNG pictures and faces, and sound files\n"
                "(WAV, AIFF, FLAC...). The script format is described in docs/make-script.md.");
    command->add_option("SCRIPT", o->script, "The JSON script")->required();
    command
        ->add_option("-o,--output", o->out,
                     "The movie file to write; NAME.adf: a floppy image holding the movie and its referenced files")
        ->required()
        ->type_name("FILE");
    command->add_flag("--strict-colours", o->options.strictColours,
                      "Refuse a face colour that the palette of the scenes showing it lacks, instead of taking "
                      "the nearest");
    command->add_flag("--no-quantise", o->options.noQuantise,
                      "Refuse a picture of more than 32 colours instead of reducing it");
    command->add_flag("--dither", o->options.dither, "Dither pictures whose colours are reduced");
    AddQuietOption(*command, context);
    AddOverwriteOptions(*command, context);
    command->callback([&context, o] {
        qfauthor::MakeResult r;
        try {
            qfutil::Outputs outputs = CommandOutputs(context, {o->script});
            outputs.claim(o->out);
            r = qfauthor::MakeMovie(o->script, o->out, outputs, o->options);
        } catch (const std::runtime_error &e) {
            throw ToolError(e.what());
        }
        for (const std::string &w : r.warnings) std::fprintf(stderr, "quillframer: warning: %s\n", w.c_str());
        if (context.quiet) return;
        // The length info and export will show: the pictures the scenes' ticks deliver.
        const uint64_t ticksMs = std::min<uint64_t>(qfhost::MillisecondsOf(r.seconds), UINT32_MAX);
        const uint64_t playedMs = qfhost::PlayedMs(qfhost::PicturesDelivered(static_cast<uint32_t>(ticksMs)));
        std::printf("wrote %s: %s, %s, %s, %s, %s (%llu bytes)\n", o->out.c_str(),
                    Count(r.scenes, "scene", "scenes").c_str(), qfhost::FormatSeconds(playedMs).c_str(),
                    Count(r.backgrounds, "background", "backgrounds").c_str(),
                    Count(r.faceSets, "face set", "face sets").c_str(), Count(r.sounds, "sound", "sounds").c_str(),
                    static_cast<unsigned long long>(r.bytes));
        if (!r.diskFile.empty())
            std::printf("the disk \"%s:\" holds the movie \"%s\" and %s; play it with: quillframer play %s\n",
                        r.volumeName.c_str(), r.diskFile.c_str(),
                        Count(r.referenced, "referenced file", "referenced files").c_str(), o->out.c_str());
        else if (r.referenced)
            std::printf("%s written to %s; open the movie with --volume %s=%s\n",
                        Count(r.referenced, "referenced file", "referenced files").c_str(), r.volumeDirectory.c_str(),
                        r.volumeName.c_str(), r.volumeDirectory.c_str());
    });
}

}  // namespace qftools
