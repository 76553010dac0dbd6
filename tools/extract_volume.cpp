// quillframer extract on a disk image or archive: its files copied out.
#include <cstdio>

#include "qfutil/printable.hpp"
#include "qfhost/volume_files.hpp"
#include "volume_glue.hpp"

namespace qftools {

void RunExtractVolume(const Context &context, const std::string &image, const std::string &directory, bool salvage)
{
    std::optional<qfhost::ImagePath> split = qfhost::SplitImagePath(image);
    if (!split) throw ToolError(qfutil::Quoted(image) + " is no disk image or archive");
    qfhost::ExtractResult r;
    try {
        std::unique_ptr<qfhost::Volume> volume = qfhost::Volume::Open(split->image);
        qfutil::Outputs outputs = CommandOutputs(context, {split->image});
        r = qfhost::ExtractVolume(
            *volume, split->inside, directory, outputs,
            [](const std::string &line) { std::fprintf(stderr, "quillframer: %s\n", line.c_str()); }, salvage);
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
    if (!context.quiet)
        std::printf("extracted %d file%s and %d folder%s to %s%s\n", r.files, r.files == 1 ? "" : "s", r.directories,
                    r.directories == 1 ? "" : "s", qfutil::Printable(directory).c_str(),
                    r.skipped ? (", skipped " + std::to_string(r.skipped)).c_str() : "");
    // Damaged files are summed up after their own lines, so the count is not lost among them.
    if (r.damaged)
        std::fprintf(stderr, "quillframer: %d of %d files, %d damaged%s\n", r.files, r.files + r.damaged, r.damaged,
                     r.salvaged ? (", " + std::to_string(r.salvaged) + " written as far as it could be read").c_str()
                                : " (--salvage writes what can be read of them)");
    if (r.failed)
        throw ToolError(std::to_string(r.failed) + (r.failed == 1 ? " entry" : " entries") + " of \"" +
                        qfutil::Printable(image) + "\" could not be extracted");
}

}  // namespace qftools
