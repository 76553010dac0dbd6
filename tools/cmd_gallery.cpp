// quillframer gallery DIR: writes DIR/index.html again from DIR/catalogue.jsonl, as scan does at its
// end (after the catalogue was edited or the page changed). Hidden: scan is how users meet it.
#include <cstdio>

#include "common.hpp"
#include "scan_gallery.hpp"

namespace qftools {

void RegisterGallery(CLI::App &app, Context &context)
{
    auto dir = std::make_shared<std::string>();
    CLI::App *command = app.add_subcommand("gallery", "Write DIR/index.html again from DIR/catalogue.jsonl");
    command->group("");
    command->add_option("DIR", *dir, "The folder scan wrote")->required();
    AddQuietOption(*command, context);
    command->callback([&context, dir] {
        WriteGallery(*dir);
        if (!context.quiet) std::printf("wrote %s\n", (std::filesystem::path(*dir) / "index.html").c_str());
    });
}

}  // namespace qftools
