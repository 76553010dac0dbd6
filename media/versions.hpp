// The libraries the command runs on, as `quillframer --version` names them.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qfmedia {

// (library, version) pairs: the versions linked at run time where the library can say so.
std::vector<std::pair<std::string, std::string>> LibraryVersions();

}  // namespace qfmedia
