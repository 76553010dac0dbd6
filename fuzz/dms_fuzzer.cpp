// libFuzzer target: the bytes as a DMS archive, decoded, and the floppy that comes out read as an
// AmigaDOS disk. Checksums would stop nearly every mutation at the door, so when the first byte's
// low bit is set the harness makes them right first (the header's, and each track's header and
// data CRC), and the unpackers themselves get fuzzed; the unpacked sums stay as the input has them.
// The encrypted flag is cleared: the key search tries 65536 keys, too slow for a fuzzing run.
#include <cstdint>
#include <vector>

#include "qfhost/adf.hpp"
#include "qfhost/dms.hpp"

namespace {

uint16_t Get16(const std::vector<uint8_t> &b, size_t at) { return uint16_t(b[at] << 8 | b[at + 1]); }
void Put16(std::vector<uint8_t> &b, size_t at, uint16_t v) { b[at] = uint8_t(v >> 8), b[at + 1] = uint8_t(v); }

void MakeChecksumsRight(std::vector<uint8_t> &a)
{
    using namespace qfhost::dms;
    if (a.size() < headerSize) return;
    a[11] &= uint8_t(~flagEncrypted);
    Put16(a, headerSize - 2, Crc16(std::span(a).subspan(4, headerSize - 6)));
    for (size_t at = headerSize; a.size() - at >= trackHeaderSize && a[at] == 'T' && a[at + 1] == 'R';) {
        const size_t packed = Get16(a, at + 6);
        if (a.size() - at - trackHeaderSize < packed) break;
        Put16(a, at + 16, Crc16(std::span(a).subspan(at + trackHeaderSize, packed)));
        Put16(a, at + 18, Crc16(std::span(a).subspan(at, 18)));
        at += trackHeaderSize + packed;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    std::vector<uint8_t> archive(data + 1, data + size);
    if (data[0] & 1) MakeChecksumsRight(archive);
    else if (archive.size() >= 12) archive[11] &= uint8_t(~qfhost::dms::flagEncrypted);
    try {
        qfhost::DmsDisk disk = qfhost::DecodeDms(archive);
        const size_t track = disk.highDensity ? qfhost::dms::trackBytesHD : qfhost::dms::trackBytesDD;
        if (disk.image.size() != track * qfhost::dms::cylinders || disk.tracks == 0 || disk.tracks > 80)
            __builtin_trap();
        qfhost::AdfImage image(std::move(disk.image));
        image.list();
    } catch (const qfhost::DmsError &) {
    } catch (const qfhost::AdfError &) {}
    return 0;
}
