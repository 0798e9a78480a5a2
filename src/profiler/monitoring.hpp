// The sys.monitoring backend (3.12 and newer): the same events as the profile hook, from
// callbacks of one tool id, with the code that no live profiler records switched off
// location by location. sys.monitoring is process-wide; which profiler a thread records
// for stays per thread, as with the profile hook.
#pragma once

#include "common.hpp"

namespace sarv {

class SarvProfiler;

// Whether registrations go through sys.monitoring: 3.12 or newer, not declined (the
// SARV_MONITORING environment variable set to 0), and a tool id free. The first call
// claims the id, kept for the process; when none is free it says so once on the logger
// "sarv" and the profile hook is used instead. Never fails.
bool monitoring_in_use();

// Hooks this thread to `profiler` (a SarvProfiler object) through sys.monitoring, taking
// off its profile hook; `switching`: the frame whose call event made the switch, not to be
// recorded (null for none). False with a Python error set on failure.
bool monitor_thread(PyObject* profiler, PyObject* switching);
// Takes this thread off sys.monitoring (its profile hook is left as it is); whether it was
// on it.
bool unmonitor_thread();
// The profiler object this thread records for through sys.monitoring, or null (borrowed).
PyObject* monitored_profiler();
// A trace was taken (a new one begins): locations switched off because every trace that
// wanted them had passed its cap are switched back on. Never fails.
void trace_taken();
// A profiler being freed: the code it left out may be switched off for the others now.
void forget_monitored(SarvProfiler* profiler);
// A profiler stopped: taken off this thread now and off every other thread at its next
// event; with every profiler stopped, sarv's events go off until the next registration.
void retire_monitored(SarvProfiler* profiler);

}  // namespace sarv
