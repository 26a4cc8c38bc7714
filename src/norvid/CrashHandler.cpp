#include "CrashHandler.h"

#include <csignal>
#include <cstring>
#include <execinfo.h>
#include <unistd.h>

namespace {

constexpr int MaximumFrames = 64;
constexpr int CrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// A stack overflow leaves no room on the normal stack for the handler itself.
constexpr size_t AlternateStackSize = 64 * 1024;
alignas(16) char alternateStack[AlternateStackSize];

void writeText(const char *text)
{
    // Nothing useful can be done about a failed write while crashing.
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text, std::strlen(text));
}

// snprintf is not async-signal-safe, so the signal number is formatted by hand.
void writeNumber(int number)
{
    char digits[16];
    char *end = digits + sizeof digits;
    char *p = end;
    *--p = '\0';
    do {
        *--p = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number > 0 && p > digits);
    writeText(p);
}

void onCrash(int signalNumber)
{
    writeText("norvid: fatal signal ");
    writeNumber(signalNumber);
    writeText(" (");
    writeText(sigabbrev_np(signalNumber));
    writeText("), backtrace:\n");
    void *frames[MaximumFrames];
    backtrace_symbols_fd(frames, backtrace(frames, MaximumFrames), STDERR_FILENO);

    // SA_RESETHAND has already put the default action back; raising again ends the process
    // with this signal once the handler returns.
    raise(signalNumber);
}

} // namespace

namespace norvi {

void installCrashHandler()
{
    // The first backtrace() loads libgcc, which allocates: do that now rather than in a crash.
    void *frame = nullptr;
    backtrace(&frame, 1);

    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);

    struct sigaction action = {};
    action.sa_handler = onCrash;
    action.sa_flags = SA_RESETHAND | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : CrashSignals) {
        sigaction(signalNumber, &action, nullptr);
    }
}

} // namespace norvi
