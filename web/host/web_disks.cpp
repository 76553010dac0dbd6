// The stand-in host's ADF reader behind non-throwing entries for the web host.
#include "web_disks.hpp"

#include <memory>
#include <utility>

#include "qfhost/adf.hpp"
#include "qfhost/dms.hpp"

namespace qfweb {
namespace {

struct Disk {
    std::string root;
    qfhost::AdfImage image;
    std::vector<std::string> paths;  // as stored, for the name a lookup found
};

std::vector<std::unique_ptr<Disk>> disks;

bool Under(std::string_view path, std::string_view root)
{
    return path.substr(0, root.size()) == root && path.size() > root.size() && path[root.size()] == '/';
}

}  // namespace

bool MountDiskImage(const std::string &root, std::vector<uint8_t> bytes, std::string &labelOrError)
{
    try {
        if (qfhost::LooksLikeDms(bytes)) bytes = qfhost::DecodeDms(bytes).image;  // a packed floppy
        qfhost::AdfImage image(std::move(bytes));
        std::vector<std::string> paths;
        for (const qfhost::AdfEntry &e : image.list())
            if (e.kind != qfhost::AdfEntry::Kind::Directory) paths.push_back(e.path);
        labelOrError = image.label();
        std::erase_if(disks, [&](const auto &d) { return d->root == root; });
        disks.push_back(std::make_unique<Disk>(Disk{root, std::move(image), std::move(paths)}));
        return true;
    } catch (const std::exception &e) {  // AdfError, DmsError, or memory running out
        labelOrError = e.what();
        return false;
    }
}

void ForgetDiskImages(std::string_view prefix)
{
    std::erase_if(disks, [&](const auto &d) { return std::string_view(d->root).substr(0, prefix.size()) == prefix; });
}

bool OnDiskImage(std::string_view path)
{
    for (const auto &d : disks)
        if (Under(path, d->root)) return true;
    return false;
}

std::vector<std::string> DiskImageFiles(std::string_view root)
{
    std::vector<std::string> out;
    for (const auto &d : disks)
        if (d->root == root)
            for (const std::string &p : d->paths) out.push_back(d->root + "/" + p);
    return out;
}

bool ReadFromDiskImage(std::string_view path, std::vector<uint8_t> &bytes, std::string &found, std::string &error,
                       uint64_t maxBytes)
{
    for (const auto &d : disks) {
        if (!Under(path, d->root)) continue;
        std::string_view inside = path.substr(d->root.size() + 1);
        try {
            bytes = d->image.read(inside, maxBytes);
        } catch (const std::exception &e) {
            error = e.what();
            return false;
        }
        found = std::string(path);
        // '/' folds to nothing else, so whole paths compare as their names do.
        bool international = d->image.international();
        for (const std::string &p : d->paths)
            if (qfhost::amigados::SameName(p, inside, international)) {
                found = d->root + "/" + p;
                break;
            }
        return true;
    }
    error = "no such file";
    return false;
}

}  // namespace qfweb
