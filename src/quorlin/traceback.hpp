// traceback.hpp: entries in the traceback of a propagating exception, in this module's own names.
#pragma once

namespace quorlin {

// Adds an entry "funcname" at `line` of the module's source file to the traceback of the exception
// that is set. Keeps that exception whatever happens; adds nothing if the entry cannot be made.
void add_traceback(const char *funcname, int line) noexcept;

} // namespace quorlin
