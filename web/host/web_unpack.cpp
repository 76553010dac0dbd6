// xz and bzip2 streams the page hands in, inflated whole by liblzma and libbzip2 built from their
// source for WebAssembly, never past the room the page allows: the browser inflates only gzip.
#include <emscripten/emscripten.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include "bzlib.h"
#include "lzma.h"
}

namespace {

constexpr uint64_t xzMemory = uint64_t(256) << 20;  // the decoder's own tables: xz -9 takes 65 MiB
constexpr size_t piece = size_t(1) << 20;

std::vector<uint8_t> out;
std::string message;

// Room for the next piece of output, or false past room bytes (out then holds one byte more).
bool Grow(size_t room)
{
    if (out.size() > room) return false;
    const size_t size = out.size() + std::min(piece, room + 1 - out.size());
    // Doubling, but never past what the room allows: near the page's limit a doubling would not fit.
    if (size > out.capacity()) out.reserve(std::min(std::max(2 * out.capacity(), size), room + 1));
    out.resize(size);
    return true;
}

// -1 with message set, -2 past room, else the size.
int Xz(const uint8_t *bytes, size_t size, size_t room)
{
    lzma_stream s = LZMA_STREAM_INIT;
    // Concatenated streams are one file, as xz -d reads them.
    if (lzma_stream_decoder(&s, xzMemory, LZMA_CONCATENATED) != LZMA_OK) {
        message = "cannot be read: memory ran out";
        return -1;
    }
    s.next_in = bytes;
    s.avail_in = size;
    size_t done = 0;
    lzma_ret r = LZMA_OK;
    while (r == LZMA_OK) {
        if (done == out.size() && !Grow(room)) break;
        s.next_out = out.data() + done;
        s.avail_out = out.size() - done;
        r = lzma_code(&s, s.avail_in ? LZMA_RUN : LZMA_FINISH);
        done = out.size() - s.avail_out;
    }
    lzma_end(&s);
    out.resize(done);
    if (r == LZMA_OK) return -2;
    if (r == LZMA_STREAM_END) return int(done);
    switch (r) {
    case LZMA_BUF_ERROR: message = "is cut short (its xz stream ends early)"; break;
    case LZMA_DATA_ERROR: message = "is damaged (its xz data is corrupt)"; break;
    case LZMA_FORMAT_ERROR: message = "is damaged (it is no xz stream)"; break;
    case LZMA_OPTIONS_ERROR: message = "is compressed with xz options this page does not read"; break;
    case LZMA_MEMLIMIT_ERROR:
        message = "needs more than " + std::to_string(xzMemory >> 20) + " MiB to inflate (the page's limit)";
        break;
    default: message = "cannot be read (xz error " + std::to_string(int(r)) + ")"; break;
    }
    return -1;
}

int Bzip2(const uint8_t *bytes, size_t size, size_t room)
{
    size_t done = 0, at = 0;
    // pbzip2 and others write one stream after another: read them all.
    do {
        bz_stream s{};
        if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) {
            message = "cannot be read: memory ran out";
            return -1;
        }
        s.next_in = reinterpret_cast<char *>(const_cast<uint8_t *>(bytes + at));
        s.avail_in = unsigned(size - at);
        int r = BZ_OK;
        while (r == BZ_OK) {
            if (done == out.size() && !Grow(room)) break;
            s.next_out = reinterpret_cast<char *>(out.data() + done);
            s.avail_out = unsigned(out.size() - done);
            const unsigned before = s.avail_in, space = s.avail_out;
            r = BZ2_bzDecompress(&s);
            done = out.size() - s.avail_out;
            if (r == BZ_OK && s.avail_in == before && s.avail_out == space) r = BZ_UNEXPECTED_EOF;  // input ran out
        }
        at = size - s.avail_in;
        BZ2_bzDecompressEnd(&s);
        out.resize(done);
        if (r == BZ_OK) return -2;
        if (r != BZ_STREAM_END) {
            message = r == BZ_UNEXPECTED_EOF ? "is cut short (its bzip2 stream ends early)"
                      : r == BZ_MEM_ERROR    ? "cannot be read: memory ran out"
                                             : "is damaged (its bzip2 data is corrupt or fails its CRC)";
            return -1;
        }
    } while (size - at >= 4 && bytes[at] == 'B' && bytes[at + 1] == 'Z' && bytes[at + 2] == 'h');
    return int(done);
}

}  // namespace

extern "C" {

// libbzip2's check of its own state, which input cannot fail.
void bz_internal_error(int) { std::abort(); }

// Inflates the stream at bytes (xz: 1, bzip2: 2): its size, -1 with why in qfw_unpack_message,
// or -2 when it holds more than room bytes.
EMSCRIPTEN_KEEPALIVE int qfw_unpack(int kind, const uint8_t *bytes, uint32_t size, uint32_t room)
{
    out.clear();
    message.clear();
    int n = kind == 1 ? Xz(bytes, size, room) : Bzip2(bytes, size, room);
    if (n < 0) out.clear();
    return n;
}

EMSCRIPTEN_KEEPALIVE const char *qfw_unpack_message() { return message.c_str(); }
EMSCRIPTEN_KEEPALIVE const uint8_t *qfw_unpack_data() { return out.data(); }
EMSCRIPTEN_KEEPALIVE void qfw_unpack_close()
{
    out.clear();
    out.shrink_to_fit();
}

}  // extern "C"
