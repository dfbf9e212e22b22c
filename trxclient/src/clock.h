// The clock of the library's deadlines, timers and send pacing.
#pragma once

#include <chrono>

namespace trx
{

using Clock = std::chrono::steady_clock;

} // namespace trx
