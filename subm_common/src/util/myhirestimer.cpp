#include "util/myhirestimer.h"

#include <time.h>

namespace hrt {

uint64_t GetClock() noexcept {
    timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
    return static_cast<uint64_t>(ts.tv_sec) * ClockFreq + static_cast<uint64_t>(ts.tv_nsec);
}

} // namespace hrt
