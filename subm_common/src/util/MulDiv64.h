// Integer scaling a × b ÷ c without intermediate overflow: the product is formed in 128 bits, so
// the result is exact (truncated toward zero) whenever it fits the result type.
#pragma once

#include <cstdint>

// A result beyond the result type's range, or a division by zero, gives the type's largest or
// smallest value by the sign of the product; a zero product gives 0.
int64_t MulDiv64(int64_t operant, int64_t multiplier, int64_t divider) noexcept;

// operant × multiplier ÷ 2^rshift, truncated toward zero.
int64_t MulShr64(int64_t operant, int64_t multiplier, uint8_t rshift) noexcept;

// op × mu ÷ di for 64-bit values scaled by 32-bit ratios (sample rates, clock frequencies).
// Arguments must match one overload exactly: a plain int literal as op is ambiguous on purpose.
uint64_t MulDiv6432(uint64_t op, uint32_t mu, uint32_t di) noexcept;
int64_t MulDiv6432(int64_t op, uint32_t mu, uint32_t di) noexcept;
