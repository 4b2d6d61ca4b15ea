#include "signals/signals.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <new>
#include <string>

#include "diag/IEnvironment.h"

namespace os {

namespace {

constexpr const char* SignalNames[] = {
    "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",  "SIGTRAP", "SIGABRT", "SIGBUS",    "SIGFPE",
    "SIGKILL", "SIGUSR1",   "SIGSEGV", "SIGUSR2", "SIGPIPE", "SIGALRM", "SIGTERM",   "SIGSTKFLT",
    "SIGCHLD", "SIGCONT",   "SIGSTOP", "SIGTSTP", "SIGTTIN", "SIGTTOU", "SIGURG",    "SIGXCPU",
    "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGIO",  "SIGPWR",  "SIGSYS"};
constexpr int NamedSignals = static_cast<int>(sizeof(SignalNames) / sizeof(SignalNames[0]));

// Constant-initialised, so that it is valid for static initialisers and signal handlers alike.
constinit SignalHandlerCollection* Collection = nullptr;

// Writes text with the caller's stack to the process log, if there is one.
void LogWithStack(const std::wstring& text) {
    if (IDebugLogPtr log = Environment()->DebugLog()) log->LogBacktrace(text);
}

void BlockUnblockListOfSignals(const int* table, size_t count, bool block) {
    sigset_t set;
    sigemptyset(&set);
    bool any = false;
    for (size_t i = 0; table && i < count; ++i) {
        // sigaddset refuses numbers that are no signal: those are skipped like the unused slot.
        if (table[i] != SignalUnused && sigaddset(&set, table[i]) == 0) any = true;
    }
    if (!any) return;
    const int rc = pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
    if (rc != 0) {
        ErrInfo err = MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(rc),
                                               "BlockUnblockListOfSignals(): cannot set thread signal mask");
        LogWithStack(err.GetErrorText());
        err.Silent();
    }
}

} // namespace

const char* GetSignalName(int signal) {
    if (signal >= 1 && signal <= NamedSignals) return SignalNames[signal - 1];
    if (signal == SignalUnused) return "SIGUNUSED";
    return "*UNKNOWN*";
}

char* GetSignalName(int signal, char* buffer) {
    // By hand rather than snprintf: this runs in signal handlers.
    char digits[12];
    size_t n = 0;
    unsigned magnitude = signal < 0 ? 0u - static_cast<unsigned>(signal) : static_cast<unsigned>(signal);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    char* out = buffer;
    if (signal < 0) *out++ = '-';
    while (n > 0) *out++ = digits[--n];
    *out++ = '(';
    for (const char* name = GetSignalName(signal); *name; ++name) *out++ = *name;
    *out++ = ')';
    *out = '\0';
    return buffer;
}

// --- registry ---------------------------------------------------------------------------------

SignalHandler::~SignalHandler() { Unregister(); }

SignalHandler* SignalHandler::Register(int signal) {
    SignalHandlerCollection* collection = SignalHandlerCollection::Get();
    return collection ? collection->Register(this, signal) : nullptr;
}

size_t SignalHandler::Register(const int* table, size_t count) {
    SignalHandlerCollection* collection = SignalHandlerCollection::Get();
    if (!collection || !table) return 0;
    for (size_t i = 0; i < count; ++i) {
        if (table[i] != SignalUnused) collection->Register(this, table[i]);
    }
    return count;
}

void SignalHandler::Unregister(int signal) {
    if (SignalHandlerCollection* collection = SignalHandlerCollection::Get()) collection->Unregister(this, signal);
}

void SignalHandler::Unregister() {
    if (SignalHandlerCollection* collection = SignalHandlerCollection::Get()) collection->Unregister(this);
}

SignalHandlerCollection* SignalHandlerCollection::Get() { return Collection; }

SignalHandler* SignalHandlerCollection::Register(SignalHandler* handler, int signal) {
    if (signal == SignalUnused) return nullptr;
    auto it = _handlers.find(signal);
    if (it == _handlers.end()) {
        if (!handler) return nullptr;
        _handlers.emplace(signal, handler);
        // A signal whose handler could not be installed is not held: the entry would claim a
        // take-over that never happened.
        if (!set_signal_handler(signal, &EntryFunction).IsOk()) _handlers.erase(signal);
        return nullptr;
    }
    SignalHandler* previous = it->second;
    if (handler) {
        it->second = handler;
    } else {
        _handlers.erase(it);
        set_signal_handler(signal, nullptr);
    }
    return previous;
}

void SignalHandlerCollection::Unregister(SignalHandler* handler, int signal) {
    auto it = _handlers.find(signal);
    if (it == _handlers.end() || it->second != handler) {
        char name[SignalNameBufferSize];
        std::string text = "SignalHandlerCollection::Unregister(): signal handler not found for remove; signal = ";
        text += GetSignalName(signal, name);
        LogWithStack(std::wstring(text.begin(), text.end()));
        return;
    }
    _handlers.erase(it);
    set_signal_handler(signal, nullptr);
}

void SignalHandlerCollection::Unregister(SignalHandler* handler) {
    for (auto it = _handlers.begin(); it != _handlers.end();) {
        if (it->second != handler) {
            ++it;
            continue;
        }
        const int signal = it->first;
        it = _handlers.erase(it);
        set_signal_handler(signal, nullptr);
    }
}

ErrInfo SignalHandlerCollection::set_signal_handler(int signal, void (*function)(int)) {
    ErrInfo err = MAKE_ERR_INFO();
    if (signal == SignalUnused) return err;
    struct sigaction action {};
    action.sa_handler = function ? function : SIG_DFL;
    sigfillset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(signal, &action, nullptr) != 0) {
        const int code = errno;
        char name[SignalNameBufferSize];
        std::string text = "SignalHandlerCollection::set_signal_handler(): sigaction() error - handler not set; signal = ";
        text += GetSignalName(signal, name);
        err.ApiError(static_cast<uint32_t>(code), text);
        LogWithStack(err.GetErrorText());
        err.Silent();
    }
    return err;
}

void SignalHandlerCollection::EntryFunction(int signal) {
    const int savedErrno = errno;
    if (SignalHandlerCollection* collection = Collection) {
        auto it = collection->_handlers.find(signal);
        if (it != collection->_handlers.end() && it->second) it->second->HandleSignal(signal);
    }
    errno = savedErrno;
}

namespace impl {

void signals_cpp_startup() {
    if (Collection) return;
    Collection = new (std::nothrow) SignalHandlerCollection();
    if (!Collection) std::abort();
}

void signals_cpp_cleanup() {
    SignalHandlerCollection* collection = Collection;
    Collection = nullptr;
    delete collection;
}

} // namespace impl

// --- thread signal masks ----------------------------------------------------------------------

void BlockSignals(const int* table, size_t count) { BlockUnblockListOfSignals(table, count, true); }

void UnblockSignals(const int* table, size_t count) { BlockUnblockListOfSignals(table, count, false); }

void BlockSignal(int signal) { BlockUnblockListOfSignals(&signal, 1, true); }

void UnblockSignal(int signal) { BlockUnblockListOfSignals(&signal, 1, false); }

void BlockAllSignals() { BlockSignals(BlockableSignals, std::size(BlockableSignals)); }

void UnblockQuitSignals() { UnblockSignals(QuitSignals, std::size(QuitSignals)); }

void WriteLogSignalMask() {
    sigset_t mask;
    sigemptyset(&mask);
    const int rc = pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    if (rc != 0) {
        ErrInfo err = MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(rc),
                                               "pthread_sigmask() returned error in WriteLogSignalMask()");
        LogWithStack(err.GetErrorText());
        err.Silent();
        return;
    }
    std::string text = "blocked signals: ";
    bool any = false;
    for (int signal = 1; signal <= NamedSignals; ++signal) {
        if (sigismember(&mask, signal) != 1) continue;
        if (any) text += ", ";
        text += GetSignalName(signal);
        any = true;
    }
    text += any ? " " : "none.";
    DbgLogRecord(Environment()->DebugLog(), DbgLevel::ErrorsOnly, text);
}

int SendSignalToSelf(int signal) { return kill(getpid(), signal); }

} // namespace os
