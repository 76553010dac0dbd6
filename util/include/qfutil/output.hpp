// Every file a command writes goes through here, so that no input is ever overwritten and no
// output is ever left half-written: each is written to a temporary file beside its target and
// renamed over it only once complete. What is not a regular file (a device, a FIFO, /dev/stdout) is
// written in place instead: nothing to ask about, rename or remove. SIGINT, SIGTERM and SIGHUP remove the temporary files in
// progress and end the process with status 128 + the signal.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace qfutil {

// What happens to an output that already exists.
enum class Overwrite {
    Ask,     // ask when stdin is a terminal, else refuse
    Always,  // -y
    Never,   // -n
};

// A temporary file standing in for its target until commit(); removed when dropped uncommitted.
class PendingOutput {
public:
    PendingOutput(std::filesystem::path target, std::filesystem::path temporary, int slot);
    PendingOutput(PendingOutput &&other) noexcept;
    PendingOutput &operator=(PendingOutput &&) = delete;
    ~PendingOutput();

    const std::filesystem::path &path() const { return temporary_; }  // write here
    const std::filesystem::path &target() const { return target_; }
    // Renames the temporary file over the target. Throws std::runtime_error naming the target.
    void commit();
    // A writer's message with the temporary file's name replaced by the target's.
    std::string explain(std::string message) const;

private:
    std::filesystem::path target_, temporary_;
    int slot_;  // in the interrupt table; -1 once committed or moved from
};

// Writes bytes to file (made or emptied), checked through the close, so a full disk is an error and
// never a short file. Throws std::runtime_error "cannot write FILE".
void WriteFile(const std::filesystem::path &file, std::span<const uint8_t> bytes);
void WriteFile(const std::filesystem::path &file, std::string_view bytes);

// "-" names standard output: written directly (no temporary file, no rename), refused when it is a
// terminal, at most one per command.
inline bool IsStandardOutput(const std::filesystem::path &target) { return target == "-"; }

class Outputs {
public:
    explicit Outputs(Overwrite overwrite = Overwrite::Ask);

    // A file the command reads: no output may be the same file (same device and inode). A path
    // that names nothing on disk (a file inside a disk image, say) adds nothing: the caller names
    // the file that holds it.
    void addInput(const std::filesystem::path &input);
    void addInput(dev_t device, ino_t inode);

    // Checks targets before any of them is written: refuses one that is an input, and, unless
    // replacing is allowed, existing ones (one question on a terminal covers them all; `label`
    // names them in it). Throws std::runtime_error with one line. Checked targets are not asked
    // about again, but are checked against the inputs known by then.
    void claim(std::span<const std::filesystem::path> targets, const std::string &label);
    void claim(const std::filesystem::path &target) { claim({&target, 1}, target.string()); }

    // Claims the target, then makes its temporary file (symlinks are followed to the real file);
    // a device, FIFO, socket or descriptor path is written in place.
    PendingOutput begin(const std::filesystem::path &target);

    // A file made inside an open folder (descriptor `folder`), never through a symbolic link: fill
    // writes a temporary file made beside `name` with O_NOFOLLOW, which is then renamed over it.
    // `target` is the file's path, for the claim, messages and the interrupt table.
    void writeAt(int folder, const std::string &name, const std::filesystem::path &target,
                 const std::function<void(int descriptor)> &fill);

    // The whole output at once: fill(temporary path) writes it, then it replaces the target.
    template <typename Fill>
    void write(const std::filesystem::path &target, Fill &&fill)
    {
        PendingOutput pending = begin(target);
        try {
            fill(pending.path());
        } catch (const std::runtime_error &e) {
            throw std::runtime_error(pending.explain(e.what()));
        }
        pending.commit();
    }

private:
    Overwrite overwrite_;
    std::vector<std::pair<dev_t, ino_t>> inputs_;
    std::vector<std::filesystem::path> claimed_;
};

}  // namespace qfutil
