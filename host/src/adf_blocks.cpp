// One partition's blocks, each read only when its number and place have been checked.
#include <algorithm>

#include "adf_walk.hpp"

namespace qfhost::adf {
using namespace amigados;

std::string Bcpl(std::span<const uint8_t> block, uint32_t at, uint32_t max)
{
    uint32_t length = std::min<uint32_t>(block[at], max);
    return std::string(reinterpret_cast<const char *>(&block[at + 1]), length);
}

std::string Shown(const std::string &directory) { return directory.empty() ? "the root" : "\"" + directory + "\""; }

std::optional<Block> ImageBytes(const AdfImage::Source &source, uint64_t imageBytes, uint64_t at, uint64_t count)
{
    if (at > imageBytes || count > imageBytes - at) return std::nullopt;
    Block b(count);
    source.read(at, b);
    return b;
}

std::optional<uint64_t> Blocks::offset(uint32_t n) const
{
    std::optional<uint64_t> at = MulAdd(n, p_.size, p_.first);
    if (!at || *at > p_.imageBytes || p_.size > p_.imageBytes - *at) return std::nullopt;
    return at;
}

Block Blocks::block(uint32_t n, const What &what) const
{
    if (n == 0 || n >= p_.count)
        throw AdfError("damaged disk: " + what() + " points to block " + std::to_string(n) + ", outside the " +
                       std::to_string(p_.count) + " blocks of the file system");
    std::optional<uint64_t> at = offset(n);
    if (!at) throw AdfError("truncated image: block " + std::to_string(n) + " (" + what() + ") lies past its end");
    Block b(p_.size);
    p_.source.read(*at, b);
    return b;
}

void Blocks::checksum(std::span<const uint8_t> b, uint32_t n, const What &what) const
{
    if (BlockChecksum(b) == Get32(b, checksumOffset)) return;
    std::string line = "block " + std::to_string(n) + " (" + what() + ") has a checksum that does not match";
    if (options_.strictChecksums) throw AdfError("damaged disk: " + line);
    if (std::find(warned_.begin(), warned_.end(), n) != warned_.end()) return;
    warned_.push_back(n);
    warnings_.push_back(line);
}

Block Blocks::header(uint32_t n, const What &what) const
{
    Block b = block(n, what);
    if (!isHeader(b, n))
        throw AdfError("damaged disk: block " + std::to_string(n) + " (" + what() + ") is not a header block");
    checksum(b, n, what);
    return b;
}

bool Blocks::isHeader(std::span<const uint8_t> b, uint32_t n) const
{
    uint32_t key = Get32(b, 4);  // the root's own key is 0
    return int32_t(Get32(b, 0)) == typeHeader && (key == n || (n == p_.root && key == 0));
}

int32_t Blocks::secondary(std::span<const uint8_t> b) const { return int32_t(Get32(b, SecondaryTypeOffset(p_.size))); }

std::string Blocks::name(std::span<const uint8_t> b) const { return Bcpl(b, NameOffset(p_.size), maxNameLength); }

bool Blocks::isDirectory(std::span<const uint8_t> b) const
{
    int32_t s = secondary(b);
    return s == secRoot || s == secDirectory;
}

}  // namespace qfhost::adf
