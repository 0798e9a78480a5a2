// The profiler's configuration: read once from the companion package's profiler object at
// registration, never changed after (SarvProfiler holds it const).
#pragma once

#include "common.hpp"
#include "filters/filters.hpp"
#include "plugins/plugins.hpp"

#include <string>
#include <vector>

namespace sarv {

struct ProfilerConfig {
    std::string db_path;
    std::string source;
    size_t main_thread_id = 0;
    size_t timeout = 60;  // "sqlite_busy_timeout", handed to storage
    bool one_trace_per_test = false;
    bool threading = false;
    bool lightweight_repr = false;
    // "max_records" and "max_bytes": the most records, and bytes of records, a trace holds
    // (0: no limit). Past either, the oldest are dropped ("max_records_mode" "ring") or new
    // ones are not kept ("stop"). A trace's boundary markers are always kept.
    size_t max_records = 0;
    size_t max_bytes = 0;
    bool keep_latest = true;
    // "call_budget": the calls of each function a trace records in full (0: all of them);
    // later calls are left out whole, with what they call, and only counted and timed.
    size_t call_budget = 0;
    std::vector<Finder> include_frames;
    std::vector<Finder> ignore_frames;

    // Reads the object's "config" dict and attributes, loading the plugins the config
    // names into `plugins` and the first trace's id into `trace_id` on the way (in the
    // order the object has always been read). False with a Python error set; broken
    // invariants throw InternalFault.
    static bool read(PyObject* py_profiler, ProfilerConfig& out, PluginMap& plugins, std::string& trace_id);
};

}  // namespace sarv
