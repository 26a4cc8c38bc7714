#pragma once

namespace norvi {

// On SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT writes the signal and a backtrace to standard
// error, then lets the signal end the process as it would have without the handler (core dump
// as the system allows). Call once, early at start-up.
void installCrashHandler();

} // namespace norvi
