// Signals that end convbench-sim or ask it for a report.
#pragma once

namespace sim {

enum class Signal { None, Stop, Report };

// Blocks the signals for this thread and every thread started after; call it
// before starting the converter.
void blockRunSignals();
// Waits up to timeout_ms (negative: no limit) for one of them.
Signal waitRunSignal(int timeout_ms);

}  // namespace sim
