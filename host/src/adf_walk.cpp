// Directories by their hash chains, links and paths, and the walk over them with its limits.
#include <algorithm>

#include "adf_walk.hpp"

namespace qfhost::adf {
using namespace amigados;

// A chain that comes back to an entry already seen is damage, not an endless directory.
std::vector<uint32_t> Entries(const Blocks &blocks, uint32_t directory, const std::string &path)
{
    Block d = blocks.header(directory, [&] { return "directory " + Shown(path); });
    std::vector<uint32_t> found;
    std::unordered_set<uint32_t> seen;
    for (uint32_t slot = 0; slot < HashTableSize(blocks.size()); ++slot) {
        for (uint32_t n = Get32(d, hashTableOffset + 4 * slot); n != 0;) {
            if (!seen.insert(n).second)
                throw AdfError("damaged disk: a hash chain in " + Shown(path) + " loops at block " + std::to_string(n));
            What what = [&] { return "an entry of " + Shown(path); };
            Block e = blocks.block(n, what);
            found.push_back(n);
            // The walk reports it; the rest of its chain cannot be found.
            if (!blocks.isHeader(e, n)) break;
            blocks.checksum(e, n, what);
            n = Get32(e, HashChainOffset(blocks.size()));
        }
    }
    return found;
}

uint32_t Lookup(const Blocks &blocks, uint32_t directory, std::string_view wanted, const std::string &path)
{
    Block d = blocks.header(directory, [&] { return "directory " + Shown(path); });
    bool intl = blocks.partition().international;
    std::unordered_set<uint32_t> seen;
    for (uint32_t n = Get32(d, hashTableOffset + 4 * NameHash(wanted, intl, blocks.size())); n != 0;) {
        if (!seen.insert(n).second)
            throw AdfError("damaged disk: a hash chain in " + Shown(path) + " loops at block " + std::to_string(n));
        Block e = blocks.header(n, [&] { return "an entry of " + Shown(path); });
        if (SameName(blocks.name(e), wanted, intl)) return n;
        n = Get32(e, HashChainOffset(blocks.size()));
    }
    return 0;
}

uint32_t Linked(const Blocks &blocks, std::span<const uint8_t> link, const std::string &path)
{
    uint32_t real = Get32(link, RealEntryOffset(blocks.size()));
    Block r = blocks.header(real, [&] { return "the object of link \"" + path + "\""; });
    int32_t s = blocks.secondary(r);
    if (s == secFileLink || s == secDirectoryLink || s == secSoftLink)
        throw AdfError("damaged disk: link \"" + path + "\" points to another link");
    return real;
}

std::string PathOf(const Blocks &blocks, uint32_t n)
{
    unsigned depth = blocks.options().depth;
    std::vector<std::string> names;
    std::unordered_set<uint32_t> seen;
    while (n != blocks.partition().root) {
        if (!seen.insert(n).second) throw AdfError("damaged disk: the parents of block " + std::to_string(n) + " loop");
        if (names.size() >= depth)
            throw AdfError("block " + std::to_string(n) + " lies deeper than " + std::to_string(depth) +
                           " directories");
        Block b = blocks.header(n, [] { return std::string("a linked object"); });
        names.push_back(blocks.name(b));
        n = Get32(b, ParentOffset(blocks.size()));
    }
    std::string path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) path += (path.empty() ? "" : "/") + *it;
    return path;
}

uint32_t Resolve(const Blocks &blocks, std::string_view path)
{
    uint32_t at = blocks.partition().root;
    std::string walked;
    while (!path.empty()) {
        size_t slash = path.find('/');
        std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        if (part.empty()) continue;
        if (!blocks.isDirectory(blocks.header(at, [&] { return "directory " + Shown(walked); }))) return 0;
        uint32_t next = Lookup(blocks, at, part, walked);
        if (next == 0) return 0;
        walked += (walked.empty() ? "" : "/") + std::string(part);
        Block e = blocks.header(next, [&] { return "\"" + walked + "\""; });
        if (blocks.secondary(e) == secFileLink || blocks.secondary(e) == secDirectoryLink)
            next = Linked(blocks, e, walked);
        at = next;
    }
    return at;
}

uint32_t FileBehind(const Blocks &blocks, uint32_t n, const std::string &path)
{
    Block h = blocks.header(n, [&] { return "\"" + path + "\""; });
    if (blocks.secondary(h) == secFileLink || blocks.secondary(h) == secDirectoryLink) {
        n = Linked(blocks, h, path);
        h = blocks.header(n, [&] { return "\"" + path + "\""; });
    }
    if (blocks.secondary(h) == secSoftLink) throw AdfError("\"" + path + "\" is a soft link, which is not followed");
    if (blocks.secondary(h) != secFile) throw AdfError("\"" + path + "\" is a directory");
    return n;
}

void FillEntry(const Blocks &blocks, std::span<const uint8_t> e, uint32_t n, AdfEntry &entry)
{
    uint32_t size = blocks.size();
    uint32_t at = DateOffset(size);
    entry.modified = UnixTime(Get32(e, at), Get32(e, at + 4), Get32(e, at + 8));
    entry.protection = Get32(e, ProtectionOffset(size));
    entry.comment = Bcpl(e, CommentOffset(size), maxCommentLength);
    entry.kind = AdfEntry::Kind::File;
    entry.size = 0;
    entry.linkTarget.clear();
    entry.block = n;
    switch (blocks.secondary(e)) {
    case secDirectory: entry.kind = AdfEntry::Kind::Directory; break;
    case secFile: entry.size = Get32(e, ByteSizeOffset(size)); break;
    case secFileLink:
    case secDirectoryLink: {
        entry.kind = AdfEntry::Kind::HardLink;
        uint32_t real = Linked(blocks, e, entry.path);
        entry.linkTarget = PathOf(blocks, real);
        Block r = blocks.header(real, [&] { return "the object of link \"" + entry.path + "\""; });
        if (blocks.secondary(r) == secFile) entry.size = Get32(r, ByteSizeOffset(size));
        break;
    }
    case secSoftLink: {
        entry.kind = AdfEntry::Kind::SoftLink;
        auto text = e.subspan(hashTableOffset, ProtectionOffset(size) - hashTableOffset);
        entry.linkTarget.assign(text.begin(), std::find(text.begin(), text.end(), 0));
        break;
    }
    default:
        throw AdfError("damaged disk: entry \"" + entry.path + "\" has the unknown type " +
                       std::to_string(blocks.secondary(e)));
    }
}

TreeWalk::TreeWalk(const Blocks &blocks) : blocks_(blocks), open_{blocks.partition().root}
{
    stack_.push_back({blocks.partition().root, Entries(blocks, blocks.partition().root, path_)});
}

std::optional<uint32_t> TreeWalk::next()
{
    while (!stack_.empty()) {
        Frame &top = stack_.back();
        if (top.next == top.entries.size()) {
            open_.erase(top.directory);
            path_.resize(top.parentLength);
            stack_.pop_back();
            continue;
        }
        unsigned depth = blocks_.options().depth;
        if (stack_.size() > depth)
            throw AdfError("directories nest deeper than " + std::to_string(depth) + " levels at \"" + path_ + "\"");
        return top.entries[top.next++];
    }
    return std::nullopt;
}

void TreeWalk::admit(uint32_t n, const std::string &entryPath)
{
    if (open_.count(n)) throw AdfError("damaged disk: directory \"" + entryPath + "\" contains itself");
    if (!done_.insert(n).second)
        throw AdfError("damaged disk: block " + std::to_string(n) + " (\"" + entryPath + "\") is listed twice");
}

void TreeWalk::enter(uint32_t n, const std::string &entryPath)
{
    size_t parentLength = path_.size();
    path_ = entryPath;
    open_.insert(n);
    stack_.push_back({n, Entries(blocks_, n, path_), 0, parentLength});
}

}  // namespace qfhost::adf
