#include "media/versions.hpp"

#include <SDL2/SDL.h>
#include <png.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace qfmedia {
namespace {

std::string Dotted(unsigned v)
{
    return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xff) + "." + std::to_string(v & 0xff);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> LibraryVersions()
{
    SDL_version sdl{};
    SDL_GetVersion(&sdl);
    return {
        {"libavformat", Dotted(avformat_version())},
        {"libavcodec", Dotted(avcodec_version())},
        {"libavutil", Dotted(avutil_version())},
        {"libswscale", Dotted(swscale_version())},
        {"libswresample", Dotted(swresample_version())},
        {"libpng", png_get_libpng_ver(nullptr)},
        {"SDL2", std::to_string(sdl.major) + "." + std::to_string(sdl.minor) + "." + std::to_string(sdl.patch)},
        // liblhasa has no version call; this is the one it was built against.
        {"liblhasa", QF_LHASA_VERSION},
    };
}

}  // namespace qfmedia
