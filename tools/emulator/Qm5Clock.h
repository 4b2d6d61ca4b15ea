// A QM5's check of the host's time answers: whether each "cur_time" carries two well-formed time
// texts of one clock reading, and whether it answers a waiting "get_time". The emulator keeps the
// counters under its lock and calls these with it held.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

#include "EmulatorConfig.h"
#include "json/json_object.h"

namespace emu::qm5 {

// The instant a time text names, read as UTC: exactly 23 characters "YYYY/MM/DD HH:MM:SS.mmm"
// with a real calendar date, hour 0…23, minute and second 0…59. None for anything else.
std::optional<std::chrono::sys_time<std::chrono::milliseconds>> ParseTimeText(std::string_view text);

// Counts one "cur_time" (its body) received at now.
void CheckAnswer(const JSON::Value& curTime, std::chrono::system_clock::time_point now, EmulatorCounters::TimeCheck& check);

} // namespace emu::qm5
