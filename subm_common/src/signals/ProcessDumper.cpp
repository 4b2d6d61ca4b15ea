#include "signals/ProcessDumper.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int AddressWidth = 18;
constexpr char Truncated[] = "[truncated]\n";

// Formats into a fixed buffer without stdio, so that it is usable in a signal handler. Keeps one
// byte for the terminating zero and never writes past the end.
class TextBuffer {
public:
    TextBuffer(char* buffer, size_t capacity) : _begin(buffer), _out(buffer), _end(buffer + capacity - 1) {}

    size_t Room() const { return static_cast<size_t>(_end - _out); }
    size_t Size() const { return static_cast<size_t>(_out - _begin); }
    void Terminate() { *_out = '\0'; }

    void Append(const char* text, size_t n) {
        if (n > Room()) n = Room();
        std::memcpy(_out, text, n);
        _out += n;
    }
    void Append(const char* text) { Append(text, std::strlen(text)); }
    void Fill(char c, size_t n) {
        while (n-- > 0 && _out < _end) *_out++ = c;
    }
    // Decimal, left-justified in width.
    void AppendDecimal(int64_t value, size_t width = 0) {
        char digits[24];
        const size_t n = Decimal(value, digits);
        Append(digits, n);
        if (n < width) Fill(' ', width - n);
    }
    // As printf's %*p: "0x" and lower-case hex right-justified in width, "(nil)" for null.
    void AppendPointer(const void* address, size_t width) {
        char text[24];
        size_t n;
        if (!address) {
            std::memcpy(text, "(nil)", 5);
            n = 5;
        } else {
            text[0] = '0';
            text[1] = 'x';
            n = 2 + Hex(reinterpret_cast<uintptr_t>(address), text + 2);
        }
        if (n < width) Fill(' ', width - n);
        Append(text, n);
    }
    void AppendHex(uintptr_t value) {
        char text[24];
        Append(text, Hex(value, text));
    }

private:
    static size_t Decimal(int64_t value, char* out) {
        char reversed[24];
        size_t n = 0;
        uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        do {
            reversed[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        size_t size = 0;
        if (value < 0) out[size++] = '-';
        while (n > 0) out[size++] = reversed[--n];
        return size;
    }
    static size_t Hex(uintptr_t value, char* out) {
        char reversed[24];
        size_t n = 0;
        do {
            reversed[n++] = "0123456789abcdef"[value & 0xF];
            value >>= 4;
        } while (value != 0);
        size_t size = 0;
        while (n > 0) out[size++] = reversed[--n];
        return size;
    }

    char* _begin;
    char* _out;
    char* _end;
};

// One frame line into line (LineSize bytes); returns its length. The name is cut where needed
// so that the line still ends with its line break.
size_t FormatFrame(int index, void* address, char* line) {
    TextBuffer out(line, ProcessDumper_LINUX::LineSize);
    out.AppendDecimal(index, 3);
    out.Append(" ", 1);
    out.AppendPointer(address, AddressWidth);
    out.Append(" ", 1);

    Dl_info info{};
    if (dladdr(address, &info) != 0 && (info.dli_sname || info.dli_fname)) {
        // Room kept for " + ", the offset (at most 2 + 16 hex or 20 decimal digits) and "\n".
        constexpr size_t Tail = 3 + 21 + 1;
        const size_t nameRoom = out.Room() > Tail ? out.Room() - Tail : 0;
        if (info.dli_sname) {
            int status = -1;
            char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
            const char* name = status == 0 && demangled ? demangled : info.dli_sname;
            out.Append(name, std::min(std::strlen(name), nameRoom));
            std::free(demangled);
            out.Append(" + ", 3);
            out.AppendDecimal(static_cast<int64_t>(static_cast<char*>(address) - static_cast<char*>(info.dli_saddr)));
        } else {
            // No symbol covers the address (a static function of a module that exports none):
            // the module and the offset into it still let a reader symbolise the frame offline.
            out.Append(info.dli_fname, std::min(std::strlen(info.dli_fname), nameRoom));
            out.Append(" + 0x", 5);
            out.AppendHex(reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(info.dli_fbase));
        }
    }
    out.Append("\n", 1);
    out.Terminate();
    return out.Size();
}

// The frames from the capturing function's caller on into buffer, numbered from 1. The caller is
// found by the capturing function's return address: frame 0 is normally the capturing function
// itself, but an intercepted capture (sanitizer builds) adds frames of its own.
size_t FormatFrames(void* const* frames, int count, const void* callerFrame, char* buffer, size_t capacity) {
    if (!buffer || capacity == 0) return 0;
    int first = 1;
    for (int i = 0; i < count; ++i) {
        if (frames[i] == callerFrame) {
            first = i;
            break;
        }
    }
    TextBuffer out(buffer, capacity);
    char line[ProcessDumper_LINUX::LineSize];
    for (int i = first; i < count; ++i) {
        const size_t n = FormatFrame(i - first + 1, frames[i], line);
        if (n > out.Room()) break;
        out.Append(line, n);
    }
    if (count == ProcessDumper_LINUX::MaxFrames) out.Append(Truncated, std::strlen(Truncated));
    out.Terminate();
    return out.Size();
}

} // namespace

ProcessDumper_LINUX::ProcessDumper_LINUX() {
    // The first capture loads the unwinder library, which allocates: done here, not in a crash.
    void* frame[1];
    ::backtrace(frame, 1);
}

[[gnu::noinline]] std::string ProcessDumper_LINUX::Backtrace() const {
    void* frames[MaxFrames];
    const int count = ::backtrace(frames, MaxFrames);
    std::string text(MaxDumpSize, '\0');
    text.resize(FormatFrames(frames, count, __builtin_return_address(0), text.data(), text.size() + 1));
    return text;
}

[[gnu::noinline]] size_t ProcessDumper_LINUX::Backtrace(char* buffer, size_t capacity) const {
    void* frames[MaxFrames];
    const int count = ::backtrace(frames, MaxFrames);
    return FormatFrames(frames, count, __builtin_return_address(0), buffer, capacity);
}
