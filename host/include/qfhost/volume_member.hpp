// Containers inside containers: a disk image in an archive, an archive on a disk. A member that is
// itself a volume is opened from its bytes, within limits on how deep and how much such opening
// may go, so a hostile collection costs what it is allowed to and no more.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "qfhost/volume.hpp"

namespace qfhost {

// The running cost of one piece of work (one command, one scan of one top-level container) against
// its limits. Throws VolumeError naming the limit once one is passed.
class NestBudget {
public:
    explicit NestBudget(NestLimits limits = {}) : limits_(limits) {}
    const NestLimits &limits() const { return limits_; }
    unsigned depth() const { return depth_; }
    uint64_t expanded() const { return expanded_; }
    uint64_t members() const { return members_; }

    void expand(uint64_t bytes);
    void member();
    // Entered while a member's volume is open: the depth below it is one more.
    class Level {
    public:
        explicit Level(NestBudget &budget);
        ~Level() { --budget_.depth_; }
        Level(const Level &) = delete;
        Level &operator=(const Level &) = delete;

    private:
        NestBudget &budget_;
    };

private:
    NestLimits limits_;
    unsigned depth_ = 0;
    uint64_t expanded_ = 0;
    uint64_t members_ = 0;
};

// The kind of volume a file's first bytes (at least 16 blocks of 512 where the file has them) and
// size show it to be; nullopt when it is none the volume layer reads.
std::optional<VolumeKind> DetectContent(std::span<const uint8_t> head, uint64_t size);

// Opens a walked file of parent as a volume of its own, or nullptr when its content is none. Its
// bytes are copied out once (charged to budget) into a memory-backed file; the volume's label is
// the disk's own for an image and the member's name otherwise, and its errors name the member as
// `name`. Throws VolumeError.
std::unique_ptr<Volume> OpenMember(const Volume &parent, const VolumeEntry &file, const std::string &name,
                                   NestBudget &budget, const VolumeLimits &limits = {});

}  // namespace qfhost
