// The version that zvbdump and zvbgen print with --version, and zvbgen writes as its creator
// version.
#ifndef ZVBTRACK_TOOLS_VERSION_H_
#define ZVBTRACK_TOOLS_VERSION_H_

#include <cstdint>

constexpr std::uint8_t TOOLS_VERSION_MAJOR = 1;
constexpr std::uint8_t TOOLS_VERSION_MINOR = 0;
constexpr char TOOLS_VERSION[] = "1.0";

#endif  // ZVBTRACK_TOOLS_VERSION_H_
