// The program's version, from the build (the project's version in CMake).
#pragma once

namespace quarvent {

inline constexpr char kVersion[] = QUARVENT_VERSION;

}  // namespace quarvent
