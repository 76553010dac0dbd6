// Text that came from a movie (volume and file names, Amiga paths) can hold any byte. Before it
// reaches a terminal, control characters and bytes that are no UTF-8 are shown as \xHH, so a name
// can neither move the cursor nor retitle the window nor hide the rest of a message.
#pragma once

#include <string>
#include <string_view>

namespace qfutil {

std::string Printable(std::string_view text);
// The same, in double quotes: how a message names a file or a volume.
std::string Quoted(std::string_view text);

}  // namespace qfutil
