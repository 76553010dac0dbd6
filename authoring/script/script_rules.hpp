// The limits a make script holds its values to: make refuses what is outside them, extract
// writes nothing outside them.
#pragma once

#include <string>

namespace qfauthor::rules {

inline constexpr long MinTicks = 6;  // the shortest scene, 0.12 s
inline constexpr long MaxTicks = 65535;
inline constexpr int MinVolume = 1;
inline constexpr int MaxVolume = 64;  // also the volume a sound plays at when the script gives none
inline constexpr int MinPeriod = 55;  // shorter periods are faster than Paula plays

inline const std::string TicksRule = "a scene lasts 6 to 65535 ticks (0.12 s to 21:50)";
inline const std::string VolumeRule =
    "sound \"volume\" is " + std::to_string(MinVolume) + " to " + std::to_string(MaxVolume);
inline const std::string PeriodRule = "\"period\" must be " + std::to_string(MinPeriod) + " or more";

}  // namespace qfauthor::rules
