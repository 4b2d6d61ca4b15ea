// Event objects with the classic create/set/reset/wait/close interface, used to wake service
// threads. An auto-reset event releases one waiter per set and remembers a set that nobody was
// waiting for until the next wait; a manual-reset event stays signalled until it is reset.
// Every function is safe from any thread; only CloseHandle must come after the last other use.
#pragma once

#include <cstdint>

using HANDLE = void*;

inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_TIMEOUT = 110;  // the system's ETIMEDOUT
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr uint32_t INFINITE = 0xFFFFFFFFu;

// attributes and name are accepted for the classic signature and ignored. Null when out of memory.
HANDLE CreateEvent(const void* attributes, bool bManualReset, bool bInitialState, const void* name);
// SetEvent, ResetEvent and CloseHandle return 0; a null handle is ignored.
int SetEvent(HANDLE event);
int ResetEvent(HANDLE event);
// WAIT_OBJECT_0 when the event is (or becomes) signalled within dwMilliseconds, WAIT_TIMEOUT
// when the time runs out; 0 only looks, INFINITE waits without limit. WAIT_FAILED for a null
// handle. The time limit follows the monotonic clock, so setting the wall clock does not
// lengthen or cut short a wait.
uint32_t WaitForSingleObject(HANDLE event, uint32_t dwMilliseconds);
int CloseHandle(HANDLE event);
