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

// Whether liblhasa takes the bytes at b for a member header (its method id two bytes in). Where it
// does not, it searches on for one, and would read from the wrong place.
bool StartsHere(const uint8_t *b)
{
    if (b[2] != '-' || b[6] != '-') return false;
    if (b[3] == 'l' && b[4] == 'h') return true;
    if (b[3] == 'l' && b[4] == 'z') return b[5] == '4' || b[5] == '5' || b[5] == 's';
    return b[3] == 'p' && b[4] == 'm' && b[5] != 's';
}

// A self-extracting archive's stub: an Amiga executable (HUNK_HEADER) or an MS-DOS one.
bool IsExecutable(const uint8_t *b, size_t size)
{
    return size >= 4 && ((b[0] == 0 && b[1] == 0 && b[2] == 0x03 && b[3] == 0xF3) || (b[0] == 'M' && b[1] == 'Z'));
}

constexpr size_t stubReach = size_t(1) << 16;  // how far past a stub the archive is looked for

// Whether liblhasa reads a member header right at the start of these bytes.
bool HeaderHere(const uint8_t *bytes, size_t size)
{
    if (size < 13 || !StartsHere(bytes)) return false;
    Memory memory{bytes, size, 0};
    LHAInputStream *stream = lha_input_stream_new(&memoryStream, &memory);
    LHAReader *reader = stream ? lha_reader_new(stream) : nullptr;
    bool found = reader && lha_reader_next_file(reader);
    if (reader) lha_reader_free(reader);
    if (stream) lha_input_stream_free(stream);
    return found;
}

// Where the members begin behind an executable stub: the first place in its first 64 KB where a
// header reads, as the command finds it; -1 when there is none.
long MembersAfterStub(const uint8_t *bytes, size_t size)
{
    if (!IsExecutable(bytes, size)) return -1;
    const size_t reach = size < stubReach ? size : stubReach;
    for (size_t at = 1; at < reach && size - at >= 22; ++at)
        if (HeaderHere(bytes + at, size - at)) return long(at);
    return -1;
}

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
    if (long start = MembersAfterStub(bytes, size); start > 0) bytes += start, size -= size_t(start);
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

// Where the archive begins behind a self-extracting stub at bytes (the file's first 64 KB
// suffice), or -1 when they are no such stub with an archive behind it.
EMSCRIPTEN_KEEPALIVE int qfw_lha_after_stub(const uint8_t *bytes, uint32_t size)
{
    return int(MembersAfterStub(bytes, size));
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
