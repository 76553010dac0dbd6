// LHA archives the page hands in, read by liblhasa built from its source for WebAssembly: every
// file decoded whole and checked against its stated length and CRC, as the command checks them.
#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include "crc16.h"
#include "lhasa.h"
}

namespace {

struct Memory {
    const uint8_t *bytes;
    size_t size, at;
};

int Read(void *handle, void *buffer, size_t count)
{
    auto *m = static_cast<Memory *>(handle);
    size_t n = count < m->size - m->at ? count : m->size - m->at;
    std::memcpy(buffer, m->bytes + m->at, n);
    m->at += n;
    return int(n);
}

int Skip(void *handle, size_t count)
{
    auto *m = static_cast<Memory *>(handle);
    if (count > m->size - m->at) return 0;
    m->at += count;
    return 1;
}

void Close(void *) {}

LHAInputStreamType memoryStream = {Read, Skip, Close};

struct Member {
    std::string path;
    std::vector<uint8_t> bytes;
};

std::vector<Member> members;
std::string message;

// Every file of the archive into members; false with why in message (or, with over set, past
// room bytes or maxMembers files).
bool Decode(const uint8_t *bytes, size_t size, size_t room, size_t maxMembers, bool &over)
{
    Memory memory{bytes, size, 0};
    LHAInputStream *stream = lha_input_stream_new(&memoryStream, &memory);
    LHAReader *reader = stream ? lha_reader_new(stream) : nullptr;
    if (!reader) {
        if (stream) lha_input_stream_free(stream);
        message = "cannot be read: memory ran out";
        return false;
    }
    lha_reader_set_dir_policy(reader, LHA_READER_DIR_PLAIN);
    bool ok = true;
    size_t entries = 0;
    while (LHAFileHeader *h = lha_reader_next_file(reader)) {
        if (++entries > maxMembers) {
            message = "members";
            over = true, ok = false;
            break;
        }
        std::string path = std::string(h->path ? h->path : "") + (h->filename ? h->filename : "");
        if (!std::strcmp(h->compress_method, LHA_COMPRESS_TYPE_DIR) || h->symlink_target || path.empty() ||
            path.back() == '/')
            continue;
        // A member's failure: its path, a tab, why.
        std::string name = path + "\t";
        if (!lha_decoder_for_name(h->compress_method)) {
            message = name + "is compressed with method " + h->compress_method + ", which cannot be read";
            ok = false;
            break;
        }
        if (h->length > room) {
            message = "bytes";
            over = true, ok = false;
            break;
        }
        room -= h->length;
        std::vector<uint8_t> out(h->length + 1);
        size_t got = 0;
        // Asking one byte past the stated length tells a member that decodes longer than it says.
        while (got < out.size()) {
            size_t n = lha_reader_read(reader, out.data() + got, out.size() - got);
            if (n == 0) break;
            got += n;
        }
        uint16_t crc = 0;
        if (got == h->length) lha_crc16_buf(&crc, out.data(), got);
        if (got != h->length || crc != h->crc) {
            message = name + "is damaged (" +
                      (got != h->length ? "it states " + std::to_string(h->length) + " bytes and decodes to " +
                                              (got > h->length ? "more" : std::to_string(got))
                                        : std::string("its CRC does not match")) +
                      ")";
            ok = false;
            break;
        }
        out.pop_back();
        members.push_back({path, std::move(out)});
    }
    // The reader stops at the end mark or at a header it cannot read: only the mark may follow.
    if (ok && (entries == 0 || memory.at + 1 < memory.size)) {
        message = entries ? "is damaged after its " + std::to_string(entries) + (entries == 1 ? " entry" : " entries")
                          : "holds no LHA entry that can be read";
        ok = false;
    }
    lha_reader_free(reader);
    lha_input_stream_free(stream);
    return ok;
}

}  // namespace

extern "C" {

// Decodes the archive at bytes: the count of its files, or -1 with why in qfw_lha_message (after
// the member's path and a tab, when one member fails), or -2
// when its files hold more than room bytes or it more than maxMembers entries (qfw_lha_message:
// "bytes" or "members").
EMSCRIPTEN_KEEPALIVE int qfw_lha_open(const uint8_t *bytes, uint32_t size, uint32_t room, uint32_t maxMembers)
{
    members.clear();
    message.clear();
    bool over = false;
    if (!Decode(bytes, size, room, maxMembers, over)) {
        members.clear();
        return over ? -2 : -1;
    }
    return int(members.size());
}

EMSCRIPTEN_KEEPALIVE const char *qfw_lha_message() { return message.c_str(); }
EMSCRIPTEN_KEEPALIVE const char *qfw_lha_path(uint32_t i) { return i < members.size() ? members[i].path.c_str() : ""; }
EMSCRIPTEN_KEEPALIVE const uint8_t *qfw_lha_data(uint32_t i)
{
    return i < members.size() ? members[i].bytes.data() : nullptr;
}
EMSCRIPTEN_KEEPALIVE uint32_t qfw_lha_size(uint32_t i)
{
    return i < members.size() ? uint32_t(members[i].bytes.size()) : 0;
}
EMSCRIPTEN_KEEPALIVE void qfw_lha_close()
{
    members.clear();
    members.shrink_to_fit();
}

}  // extern "C"
