// A file's data: its size, its data blocks through the header's table and the extension blocks,
// and their bytes (behind a 24-byte header on OFS).
#include <algorithm>
#include <optional>

#include "adf_walk.hpp"

namespace qfhost::adf {
using namespace amigados;

namespace {

// The data block numbers of a file in order, from its header's table and then its extension
// blocks, each given to take until it returns false or the count is reached.
void DataBlocks(const Blocks &blocks, uint32_t file, uint64_t count, const std::string &path,
                const std::function<bool(uint32_t)> &take)
{
    std::unordered_set<uint32_t> extensions;
    uint32_t table = HashTableSize(blocks.size());
    uint64_t given = 0;
    Block b = blocks.header(file, [&] { return "file \"" + path + "\""; });
    for (;;) {
        uint32_t high = std::min(Get32(b, 8), table);
        for (uint32_t i = 0; i < high && given < count; ++i, ++given)
            if (!take(Get32(b, hashTableOffset + 4 * (table - 1 - i)))) return;
        if (given >= count) return;
        uint32_t next = Get32(b, ExtensionOffset(blocks.size()));
        if (next == 0)
            throw AdfError("damaged disk: file \"" + path + "\" lists " + std::to_string(given) +
                           " data blocks of the " + std::to_string(count) + " its size needs");
        if (!extensions.insert(next).second)
            throw AdfError("damaged disk: the extension blocks of \"" + path + "\" loop at block " +
                           std::to_string(next));
        What what = [&] { return "an extension block of \"" + path + "\""; };
        b = blocks.block(next, what);
        if (int32_t(Get32(b, 0)) != typeList || Get32(b, 4) != next)
            throw AdfError("damaged disk: block " + std::to_string(next) + " (" + what() +
                           ") is not an extension block");
        blocks.checksum(b, next, what);
    }
}

}  // namespace

uint64_t FileSize(const Blocks &blocks, uint32_t file, const std::string &path)
{
    return Get32(blocks.header(file, [&] { return "file \"" + path + "\""; }), ByteSizeOffset(blocks.size()));
}

void Content(const Blocks &blocks, uint32_t file, const std::string &path,
             const std::function<bool(std::span<const uint8_t>)> &sink)
{
    uint64_t size = FileSize(blocks, file, path);
    bool ofs = !blocks.partition().fast;
    uint32_t payload = ofs ? blocks.size() - ofsDataOffset : blocks.size();
    uint64_t count = (size + payload - 1) / payload;
    // A claimed size is checked before it is used: no more blocks than the disk has.
    if (count > blocks.partition().count)
        throw AdfError("damaged disk: file \"" + path + "\" claims " + std::to_string(size) +
                       " bytes, more than the disk holds");
    uint64_t done = 0;
    uint32_t sequence = 1;
    What what = [&] { return "data of \"" + path + "\""; };
    DataBlocks(blocks, file, count, path, [&](uint32_t n) {
        Block d = blocks.block(n, what);
        size_t take = size_t(std::min<uint64_t>(payload, size - done));
        std::span<const uint8_t> piece(d);
        if (ofs) {
            if (int32_t(Get32(d, 0)) != typeData)
                throw AdfError("damaged disk: \"" + path + "\": its data blocks are not data blocks (block " +
                               std::to_string(n) + " is not one)");
            if (Get32(d, 4) != file || Get32(d, 8) != sequence)
                throw AdfError("damaged disk: block " + std::to_string(n) + " (" + what() +
                               ") is not the data block expected");
            blocks.checksum(d, n, what);
            if (Get32(d, 12) < take)
                throw AdfError("damaged disk: data block " + std::to_string(n) + " of \"" + path + "\" holds " +
                               std::to_string(Get32(d, 12)) + " bytes, fewer than its file needs");
            piece = piece.subspan(ofsDataOffset);
        }
        done += take;
        ++sequence;
        return sink(piece.first(take));
    });
}

AdfSalvage Salvage(const Blocks &blocks, uint32_t file, const std::string &path,
                   const std::function<void(std::span<const uint8_t>)> &sink)
{
    uint64_t size = FileSize(blocks, file, path);
    bool ofs = !blocks.partition().fast;
    uint32_t payload = ofs ? blocks.size() - ofsDataOffset : blocks.size();
    uint64_t count = (size + payload - 1) / payload;
    // A size beyond the disk (or beyond the image, which may be shorter than its partition table
    // says) is a lie about where the file ends: zeros up to it would only fill the output, so such
    // a file is refused, as copy() refuses it.
    const Partition &p = blocks.partition();
    const uint64_t held = p.imageBytes > p.first ? (p.imageBytes - p.first) / p.size : 0;
    if (count > std::min<uint64_t>(p.count, held))
        throw AdfError("damaged disk: file \"" + path + "\" claims " + std::to_string(size) +
                       " bytes, more than the disk holds");
    AdfSalvage result;
    result.blocks = count;
    uint64_t done = 0;
    What what = [&] { return "data of \"" + path + "\""; };
    // Data block n as the sequence-th of the file, or nothing when its bytes cannot be trusted: on
    // OFS its own header must name the file and its place.
    auto data = [&](uint32_t n, uint32_t sequence, size_t take) -> std::optional<Block> {
        try {
            Block d = blocks.block(n, what);
            if (!ofs) return d;
            if (int32_t(Get32(d, 0)) != typeData || Get32(d, 4) != file || Get32(d, 8) != sequence ||
                Get32(d, 12) < take)
                return std::nullopt;
            blocks.checksum(d, n, what);
            return d;
        } catch (const AdfError &) {
            return std::nullopt;
        }
    };
    const Block zeros(payload, 0);
    std::optional<Block> last;  // the last block given, while it was readable
    auto give = [&](std::optional<uint32_t> n) {
        size_t take = size_t(std::min<uint64_t>(payload, size - done));
        last = n ? data(*n, uint32_t(done / payload + 1), take) : std::nullopt;
        if (last) {
            sink(std::span<const uint8_t>(*last).subspan(ofs ? ofsDataOffset : 0, take));
        } else {
            sink(std::span<const uint8_t>(zeros).first(take));
            ++result.unreadable;
            if (!result.zeros.empty() && result.zeros.back().second == done) result.zeros.back().second += take;
            else result.zeros.emplace_back(done, done + take);
        }
        done += take;
    };
    // The header's table and extension blocks as far as they are sound.
    try {
        DataBlocks(blocks, file, count, path, [&](uint32_t n) {
            give(n);
            return true;
        });
    } catch (const AdfError &e) {
        result.listDamage = e.what();
        // An OFS data block names the next one: past a bad extension block, the chain goes on from
        // the last block read, each one still checked.
        while (ofs && last && done < size) give(Get32(*last, 16));
    }
    while (done < size) give(std::nullopt);
    return result;
}

}  // namespace qfhost::adf
