// Turns the calling thread's stack into text: one line per frame with its index, return address
// and symbol, as the crash handler and the stack-trace logger write it to the log.
#pragma once

#include <cstddef>
#include <string>

class IProcessDumper {
public:
    virtual ~IProcessDumper() = default;
};

class ProcessDumper_LINUX final : public IProcessDumper {
public:
    static constexpr int MaxFrames = 128;
    // Longest frame line, its line break included; a longer symbol name is cut.
    static constexpr size_t LineSize = 1024;
    // Room for the longest dump the buffer form can produce, terminating zero included.
    static constexpr size_t MaxDumpSize = MaxFrames * LineSize + 16;

    // Loads the unwinder, so that a capture on a crash path does not have to.
    ProcessDumper_LINUX();

    // The caller's stack (this function's own frame skipped), one line per frame:
    //   "<index, 3 wide> <address, 18 wide> <demangled symbol> + <offset from it>"
    // A frame in a module whose symbol has no name shows "<module path> + 0x<offset in module>"
    // instead; an address outside every module shows only index and address. Ends with
    // "[truncated]" when MaxFrames were captured.
    std::string Backtrace() const;

    // The same text into buffer (capacity bytes, zero-terminated; whole lines only); returns its
    // length. Allocates nothing itself (the demangler still does): for signal handlers.
    size_t Backtrace(char* buffer, size_t capacity) const;
};
