// quillframer demo: author the built-in demo movie and export it.
#include <cstdio>

#include "authoring/demo/demo_movie.hpp"
#include "common.hpp"
#include "media/export.hpp"
#include "media/png.hpp"
#include "media/sheet.hpp"
#include "authoring/demo/demo_web.hpp"

namespace qftools {

namespace {

constexpr const char *DefaultFolder = "quillframer-demo";

struct DemoCommand {
    std::string dir;
    bool webOnly = false;
};

std::string Size(const std::filesystem::path &file)
{
    std::error_code ec;
    auto bytes = std::filesystem::file_size(file, ec);
    char text[32];
    std::snprintf(text, sizeof text, "%.1f KB", bytes / 1024.0);
    return text;
}

}  // namespace

void RegisterDemo(CLI::App &app, Context &context)
{
    auto o = std::make_shared<DemoCommand>();
    CLI::App *command = app.add_subcommand(
        "demo", "Author the built-in demo movie (about ten seconds, made in code: no asset files) and export it\n"
                "to demo.mp4, demo.gif, demo.wav and a contact sheet sheet.png; web/index.html plays it in a browser.");
    command
        ->add_option("-o,--output", o->dir,
                     "The folder to write into (default: quillframer-demo in the current folder, said when used)")
        ->type_name("DIR");
    command->add_flag("--web-only", o->webOnly, "Write only the movie, its volume and the web page");
    AddMovieOptions(*command, context);
    AddOverwriteOptions(*command, context);
    command->callback([&context, o] {
        namespace fs = std::filesystem;
        // Without -o the files land in a folder named for what they are, and the user is told where.
        fs::path dir = o->dir.empty() ? fs::path(DefaultFolder) : fs::path(o->dir);
        if (o->dir.empty())
            std::fprintf(stderr, "quillframer: no -o given: writing the demo into %s\n",
                         (fs::current_path() / dir).c_str());
        qfutil::Outputs outputs = CommandOutputs(context, {});
        std::vector<fs::path> targets;
        for (const char *name : {"demo.qf", "demo.mp4", "demo.gif", "demo.wav", "sheet.png"})
            targets.push_back(dir / name);
        outputs.claim(targets, dir.string());  // one question for the whole set
        qfauthor::DemoMovie demo;
        try {
            demo = qfauthor::WriteDemoMovie(dir, outputs);
        } catch (const std::exception &e) {
            throw ToolError(std::string("cannot write the demo movie into ") + dir.string() + ": " + e.what());
        }
        // The movie finds its picture and bell through the volume, as a user's --volume would.
        Context withVolume = context;
        withVolume.volumes.push_back(demo.volumeName + "=" + demo.volumeDirectory.string());

        std::vector<std::pair<fs::path, std::string>> made;
        // The volume's folder lies beside the movie, where the host looks without --volume.
        made.emplace_back(demo.movie, "the movie (its picture and bell are in " +
                                          demo.volumeDirectory.filename().string() + "/ beside it)");
        std::optional<fs::path> page;
        try {
            for (const char *name : {"demo.mp4", "demo.gif", "demo.wav"}) {
                if (o->webOnly) break;
                OpenedMovie opened = OpenMovie(withVolume, demo.movie);
                qfmedia::ExportOptions options;
                options.quiet = context.quiet;
                qfmedia::ExportResult r = qfmedia::ExportMovie(*opened.movie, dir / name, options, outputs);
                made.emplace_back(dir / name, r.codecs + (r.videoFrames ? ", " + std::to_string(r.videoFrames) +
                                                                              " frames, " + std::to_string(r.width) +
                                                                              "x" + std::to_string(r.height)
                                                                        : std::string()));
            }
            page = qfauthor::WriteDemoWebPage(dir, demo);
            if (page) made.emplace_back(*page, "the movie in a web page (open it in a browser)");
            if (o->webOnly) {
                if (!page) throw ToolError("the web player was not built (Emscripten's emcc was not found)");
                for (auto &[file, what] : made) std::printf("%s\n", file.c_str());
                return;
            }
            OpenedMovie opened = OpenMovie(withVolume, demo.movie);
            qfmedia::SheetOptions sheetOptions;
            sheetOptions.quiet = context.quiet;
            sheetOptions.title = "QUILL FRAMER DEMO";
            qfmedia::Sheet sheet = qfmedia::MakeSheet(*opened.movie, sheetOptions);
            outputs.write(dir / "sheet.png", [&](const fs::path &file) { qfmedia::WritePng(file, sheet.image); });
            made.emplace_back(dir / "sheet.png", "contact sheet, " + std::to_string(sheet.thumbnails) + " thumbnails");
        } catch (const ToolError &) {
            throw;
        } catch (const std::runtime_error &e) {
            throw ToolError(e.what());
        }
        std::printf("demo made in %s:\n", dir.c_str());
        for (auto &[file, what] : made)
            std::printf("  %-28s %9s  %s\n", file.c_str(), Size(file).c_str(), what.c_str());
        std::printf("play it: quillframer play %s\n", demo.movie.c_str());
        if (page) std::printf("or in a browser: open %s\n", fs::absolute(*page).c_str());
    });
}

}  // namespace qftools
