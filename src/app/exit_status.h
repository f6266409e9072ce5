// The exit statuses the command line and the run set themselves. A
// conversion that gets going ends with the OR of its results instead
// (kResultOk, kResultMissing, kResultFailed, kResultInvalid of
// input/conversion_loop.h).
#pragma once

namespace quillon {

// The run could not start: no memory for it, the option table or a folder
// or database could not be set up, or the usage was asked for (--help, no
// arguments). The usage goes to standard output.
constexpr int kExitNotStarted = 129;
// An option that needs a value came without one.
constexpr int kExitMissingValue = 130;
// An unexpected word, a value that is not a number, or a verbosity out of
// range.
constexpr int kExitInvalidValue = 131;
// The inputs do not lie directly in one common folder.
constexpr int kExitNoCommonRoot = 132;
// Any other refused option; the errors go to standard output.
constexpr int kExitOptionErrors = 134;

}  // namespace quillon
