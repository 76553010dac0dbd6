// The collection's gallery: DIR/index.html, written from the catalogue a scan leaves in DIR.
#pragma once

#include <filesystem>

namespace qftools {

// Reads DIR/catalogue.jsonl and replaces DIR/index.html with a page that shows its movies (their
// posters, videos and what they lack) and its damaged containers. The page needs no server: the
// catalogue's data is inside it. Throws ToolError with a one-line reason.
void WriteGallery(const std::filesystem::path &dir);

}  // namespace qftools
