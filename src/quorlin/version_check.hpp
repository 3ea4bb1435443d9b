// version_check.hpp: the comparison of the running interpreter's version with the one built for.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdio>

namespace quorlin {

inline constexpr std::size_t kVersionMessageSize = 200;

// True, with the warning text in `message`, when `runtime_version` (in PY_VERSION_HEX form)
// differs from the version the module was compiled for in its major or minor number.
inline bool version_mismatch(unsigned long runtime_version,
                             char (&message)[kVersionMessageSize]) noexcept {
    constexpr unsigned long compiled = (static_cast<unsigned long>(PY_MAJOR_VERSION) << 24U) |
                                       (static_cast<unsigned long>(PY_MINOR_VERSION) << 16U);
    unsigned long runtime = runtime_version & ~0xFFUL;
    if (((runtime ^ compiled) >> 16U) == 0) return false;
    std::snprintf(message, kVersionMessageSize,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "quorlin.version_manager", "does not match",
                  static_cast<int>(runtime >> 24U), static_cast<int>((runtime >> 16U) & 0xFFU));
    return true;
}

} // namespace quorlin
