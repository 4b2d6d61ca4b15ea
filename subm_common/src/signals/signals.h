// Signals for the host application: signal names, a process-wide registry through which objects
// take over individual signals, and helpers that block, unblock and list the signals of the
// calling thread. The library itself registers nothing here and changes no thread's mask.
//
// The registry has no lock: register and unregister from start-up code, not concurrently.
// Handlers registered here run as ordinary signal handlers, on whichever thread the signal hits.
#pragma once

#include <cstddef>
#include <map>

#include "diag/ErrInfo.h"

namespace os {

// Stands for an unused slot in a signal table: every function here skips it.
inline constexpr int SignalUnused = 256;

// Room that GetSignalName(signal, buffer) needs for any int.
inline constexpr size_t SignalNameBufferSize = 32;

// The Linux name of signals 1 to 31 ("SIGSEGV"), "SIGUNUSED" for SignalUnused, "*UNKNOWN*"
// otherwise. Safe in a signal handler.
const char* GetSignalName(int signal);
// Writes "<number>(<name>)", e.g. "11(SIGSEGV)", into buffer (SignalNameBufferSize bytes) and
// returns it. Safe in a signal handler.
char* GetSignalName(int signal, char* buffer);

// The signals a crash handler traces, in the order it is armed.
inline constexpr int TracedSignals[] = {4, 5, 7, 11, 8, 6};  // ILL, TRAP, BUS, SEGV, FPE, ABRT
// Set to "ignore" while the crash handler is armed: INT, QUIT, TERM, HUP, PIPE, WINCH, URG, ALRM.
inline constexpr int CrashIgnoredSignals[] = {2, 3, 15, 1, 13, 28, 23, 14};
// What BlockAllSignals blocks.
inline constexpr int BlockableSignals[] = {1,  2,  3,  15, 6,  10, 12, 13, 14, 16, 17, 18,
                                           20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30};
// What UnblockQuitSignals unblocks.
inline constexpr int QuitSignals[] = {2, 3, 15};  // INT, QUIT, TERM

// An object that handles signals taken over through the registry. HandleSignal runs in signal
// context, so it may only do what a signal handler may do.
class SignalHandler {
public:
    SignalHandler() = default;
    // Gives back every signal this object still holds, so that no signal reaches a destroyed
    // object.
    virtual ~SignalHandler();
    SignalHandler(const SignalHandler&) = delete;
    SignalHandler& operator=(const SignalHandler&) = delete;

    virtual void HandleSignal(int signal) { (void)signal; }

    // Takes signal over; returns the object that held it before, or null. Does nothing (null)
    // when no registry exists.
    SignalHandler* Register(int signal);
    // Takes over every signal of table except SignalUnused; returns count (0 without a registry).
    size_t Register(const int* table, size_t count);
    void Unregister(int signal);
    // Gives back every signal this object holds.
    void Unregister();
};

// The process-wide registry: signal number to the object that handles it (not owned).
class SignalHandlerCollection {
public:
    // The registry, or null outside os::impl::signals_cpp_startup() ... signals_cpp_cleanup().
    static SignalHandlerCollection* Get();

    // Null handler: gives the signal back (default disposition). A signal not yet held gets the
    // registry's entry function installed. Returns the previous holder, or null; SignalUnused
    // changes nothing.
    SignalHandler* Register(SignalHandler* handler, int signal);
    // Logs "not found for remove", with the caller's stack, when signal is not held by handler.
    void Unregister(SignalHandler* handler, int signal);
    void Unregister(SignalHandler* handler);
    // Installs function (null: the default disposition) for signal with every signal blocked
    // while it runs. A refusal is logged with the caller's stack and returned as an EIT_API
    // record (already logged, so silent). SignalUnused succeeds without installing anything.
    ErrInfo set_signal_handler(int signal, void (*function)(int));

private:
    static void EntryFunction(int signal);  // runs in signal context

    std::map<int, SignalHandler*> _handlers;
};

namespace impl {
// Creates the registry unless it exists; ends the process with abort when it cannot.
void signals_cpp_startup();
// Destroys the registry; the signals it held keep the entry function, which then does nothing.
void signals_cpp_cleanup();
} // namespace impl

// The calling thread's signal mask. Each skips SignalUnused and numbers that are no signal; a
// refusal by the system is logged with the caller's stack.
void BlockSignals(const int* table, size_t count);
void UnblockSignals(const int* table, size_t count);
void BlockSignal(int signal);
void UnblockSignal(int signal);
void BlockAllSignals();     // BlockableSignals
void UnblockQuitSignals();  // QuitSignals
// Writes "blocked signals: SIGINT, SIGTERM " (or "blocked signals: none.") at level 0.
void WriteLogSignalMask();
// kill() of the own process; returns its result.
int SendSignalToSelf(int signal);

} // namespace os
