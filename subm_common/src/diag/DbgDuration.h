// Measures a block of code and reports it to the debug log when it took 5 ms or more.
//
//     { DbgDuration d(L"ReadCycle"); ... }
#pragma once

#include <cstdint>

class DbgDuration {
public:
    explicit DbgDuration(const wchar_t* logId) noexcept;  // logId: static text, not copied
    ~DbgDuration();
    DbgDuration(const DbgDuration&) = delete;
    DbgDuration& operator=(const DbgDuration&) = delete;

    // mul1 * mul2 / div, formed in 64 bits.
    static uint32_t MulDiv(uint32_t mul1, uint32_t mul2, uint32_t div) noexcept;

private:
    int64_t TickStart;
    uint32_t PorogMs = 5;
    const wchar_t* LogId;
};
