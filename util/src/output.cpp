#include "qfutil/output.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace qfutil {
namespace fs = std::filesystem;

namespace {

// The temporary files in progress, for the signal handler: fixed storage, no allocation there.
struct Slot {
    volatile sig_atomic_t used;
    char path[PATH_MAX];
};
Slot slots[16];

extern "C" void RemoveTemporariesAndExit(int signal)
{
    for (Slot &slot : slots)
        if (slot.used) ::unlink(slot.path);
    ::_exit(128 + signal);
}

void InstallHandlerOnce()
{
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction action {};
    action.sa_handler = RemoveTemporariesAndExit;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, s);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        sigaction(s, nullptr, &old);
        if (old.sa_handler == SIG_IGN) continue;  // started with it ignored (nohup, a background job): keep that
        sigaction(s, &action, nullptr);
    }
}

int TakeSlot(const std::string &path)
{
    if (path.size() >= PATH_MAX) throw std::runtime_error("cannot write \"" + path + "\": the path is too long");
    for (int i = 0; i < static_cast<int>(std::size(slots)); ++i) {
        if (slots[i].used) continue;
        std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
        std::atomic_signal_fence(std::memory_order_seq_cst);  // the path is whole before the handler may use it
        slots[i].used = 1;
        return i;
    }
    throw std::runtime_error("cannot write \"" + path + "\": too many outputs in progress");
}

void FreeSlot(int slot)
{
    if (slot >= 0) slots[slot].used = 0;
}

std::string Quoted(const fs::path &p) { return "\"" + p.string() + "\""; }

// Temporary names: hidden, beside the target (a rename never crosses file systems), cut to fit NAME_MAX.
std::string TemporaryName(const std::string &name)
{
    static unsigned counter = 0;
    return "." + name.substr(0, 200) + "." + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".part";
}

// Where the bytes really go: an output that is a symlink keeps the link and replaces the file it names.
fs::path RealTarget(const fs::path &target)
{
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        fs::path real = fs::canonical(target, ec);
        if (!ec) return real;
    }
    return target;
}

// A descriptor named as a path (/dev/stdout, /dev/fd/N, /proc/self/fd/N): whatever it leads to was
// opened by whoever started the command, so it is written where it is.
bool NamesDescriptor(fs::path p)
{
    for (int step = 0; step < 40; ++step) {
        const std::string s = p.lexically_normal().string();
        if (s.rfind("/dev/fd/", 0) == 0 || (s.rfind("/proc/", 0) == 0 && s.find("/fd/") != std::string::npos))
            return true;
        std::error_code ec;
        fs::path next = fs::read_symlink(p, ec);
        if (ec) return false;
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    return false;
}

bool AskToReplace(const std::string &what, const char *them)
{
    std::fprintf(stderr, "%s. Replace %s? [y/N] ", what.c_str(), them);
    std::fflush(stderr);
    std::string line;
    char c;
    while (::read(STDIN_FILENO, &c, 1) == 1 && c != '\n') line += c;
    return !line.empty() && (line[0] == 'y' || line[0] == 'Y');
}

}  // namespace

void WriteFile(const fs::path &file, std::span<const uint8_t> bytes)
{
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    bool ok = fd >= 0;
    while (ok && !bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) bytes = bytes.subspan(static_cast<size_t>(n));
    }
    if (fd >= 0 && ::close(fd) != 0) ok = false;
    if (!ok) throw std::runtime_error("cannot write " + file.string());
}

void WriteFile(const fs::path &file, std::string_view bytes)
{
    WriteFile(file, {reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()});
}

PendingOutput::PendingOutput(fs::path target, fs::path temporary, int slot)
    : target_(std::move(target)), temporary_(std::move(temporary)), slot_(slot)
{}

PendingOutput::PendingOutput(PendingOutput &&other) noexcept
    : target_(std::move(other.target_)), temporary_(std::move(other.temporary_)), slot_(std::exchange(other.slot_, -1))
{}

PendingOutput::~PendingOutput()
{
    if (slot_ < 0) return;
    ::unlink(temporary_.c_str());
    FreeSlot(slot_);
}

void PendingOutput::commit()
{
    if (slot_ < 0) return;
    // Renamed before the slot is freed: an interrupt in between unlinks a name that is gone.
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        int error = errno;
        throw std::runtime_error("cannot write " + Quoted(target_) + ": " + std::strerror(error));
    }
    FreeSlot(std::exchange(slot_, -1));
}

std::string PendingOutput::explain(std::string message) const
{
    const std::string from = temporary_.string(), to = target_.string();
    for (size_t at = 0; (at = message.find(from, at)) != std::string::npos; at += to.size())
        message.replace(at, from.size(), to);
    return message;
}

Outputs::Outputs(Overwrite overwrite) : overwrite_(overwrite) {}

void Outputs::addInput(dev_t device, ino_t inode) { inputs_.emplace_back(device, inode); }

void Outputs::addInput(const fs::path &input)
{
    struct stat info {};
    if (::stat(input.c_str(), &info) == 0) addInput(info.st_dev, info.st_ino);
}

void Outputs::claim(std::span<const fs::path> targets, const std::string &label)
{
    std::vector<fs::path> existing;
    std::vector<fs::path> fresh;
    for (const fs::path &target : targets) {
        if (IsStandardOutput(target)) {
            // One stream, one output; a terminal would show binary data as garbage.
            if (std::find(claimed_.begin(), claimed_.end(), target) != claimed_.end())
                throw std::runtime_error("only one output can be standard output (-)");
            if (::isatty(STDOUT_FILENO))
                throw std::runtime_error("will not write binary data to a terminal; redirect standard output or "
                                         "name a file instead of -");
            claimed_.push_back(target);
            continue;
        }
        fs::path key = fs::absolute(target).lexically_normal();
        struct stat info {};
        const bool exists = ::stat(target.c_str(), &info) == 0;
        // Checked again when claimed before: inputs may have been learnt since (a script's pictures).
        for (const auto &[dev, ino] : inputs_)
            if (exists && info.st_dev == dev && info.st_ino == ino)
                throw std::runtime_error("will not write " + Quoted(target) +
                                         ": it is the same file as an input; choose another output");
        if (std::find(claimed_.begin(), claimed_.end(), key) != claimed_.end()) continue;
        fresh.push_back(key);
        if (!exists) continue;
        // A device, a pipe or a descriptor is written to, not replaced: nothing to ask about.
        if (S_ISREG(info.st_mode) && !NamesDescriptor(target)) existing.push_back(target);
    }
    if (!existing.empty() && overwrite_ != Overwrite::Always) {
        const bool one = targets.size() == 1;
        const char *them = one ? "it" : "them";
        std::string what = one ? Quoted(existing[0]) + " already exists"
                               : std::to_string(existing.size()) + " files of " + Quoted(label) +
                                     " already exist (the first " + Quoted(existing[0]) + ")";
        if (overwrite_ == Overwrite::Never) throw std::runtime_error(what + " and -n keeps " + them);
        if (!::isatty(STDIN_FILENO)) throw std::runtime_error(what + "; -y replaces " + them);
        if (!AskToReplace(what, them)) throw std::runtime_error(what + "; not replaced");
    }
    claimed_.insert(claimed_.end(), fresh.begin(), fresh.end());
}

PendingOutput Outputs::begin(const fs::path &target)
{
    if (IsStandardOutput(target)) {
        if (std::find(claimed_.begin(), claimed_.end(), target) == claimed_.end()) claim(target);
        // Written straight through: nothing to rename, nothing to remove when interrupted.
        return PendingOutput(target, "/dev/stdout", -1);
    }
    claim(target);
    struct stat info {};
    if ((::stat(target.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) || NamesDescriptor(target)) {
        // Renaming over /dev/null or /dev/stdout would replace the device or the link with a file.
        return PendingOutput(target, target, -1);
    }
    const fs::path real = RealTarget(target);
    const bool replacing = ::stat(real.c_str(), &info) == 0;
    InstallHandlerOnce();

    // The name is in the interrupt table before the file exists, so an interrupt never leaves it behind.
    for (int attempt = 0;; ++attempt) {
        std::string temporary = (real.parent_path() / TemporaryName(real.filename().string())).string();
        int slot = TakeSlot(temporary);
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            int error = errno;
            FreeSlot(slot);
            if (error == EEXIST && attempt < 100) continue;
            throw std::runtime_error("cannot write " + Quoted(target) + ": " + std::strerror(error));
        }
        if (replacing) ::fchmod(fd, info.st_mode & 07777);  // a replaced file keeps its permissions
        ::close(fd);
        return PendingOutput(real, temporary, slot);
    }
}

void Outputs::writeAt(int folder, const std::string &name, const fs::path &target, const std::function<void(int)> &fill)
{
    claim(target);
    InstallHandlerOnce();
    auto fail = [&](int error) {
        return std::runtime_error("cannot write " + Quoted(target) + ": " + std::strerror(error));
    };
    struct stat old {};
    const bool replacing = ::fstatat(folder, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode);
    for (int attempt = 0;; ++attempt) {
        const std::string temporary = TemporaryName(name);
        const int slot = TakeSlot((target.parent_path() / temporary).string());
        const int fd = ::openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            int error = errno;
            FreeSlot(slot);
            if (error == EEXIST && attempt < 100) continue;
            throw fail(error);
        }
        auto drop = [&] {
            ::unlinkat(folder, temporary.c_str(), 0);
            FreeSlot(slot);
        };
        if (replacing) ::fchmod(fd, old.st_mode & 07777);
        try {
            fill(fd);
        } catch (...) {
            ::close(fd);
            drop();
            throw;
        }
        int error = ::close(fd) == 0 ? 0 : errno;
        if (!error && ::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) error = errno;
        if (error) {
            drop();
            throw fail(error);
        }
        FreeSlot(slot);
        return;
    }
}

}  // namespace qfutil
