// The one way the module ends the process on an internal failure: a violated
// invariant, or the interpreter failing to create an object the module needs.
// Such a failure is never turned into a Python exception. Free of Python.h so
// that the pure core can use it too.
#pragma once

#include <source_location>
#include <string_view>

// Writes one report (thread, file:line:column, message) to standard error and
// calls abort(). Runs no cleanup.
[[noreturn]] void fatal(std::string_view message, const std::source_location& where =
                                                      std::source_location::current()) noexcept;
