// Plugins turn calls of functions they name (a test starting, a test ending) into records
// of their own, serialised by the companion package.
#pragma once

#include "common.hpp"
#include "filters/filters.hpp"
#include "record/call_stack.hpp"
#include "record/ulid.hpp"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace sarv {

// What one event produces: records and, in parallel, their types.
struct Batch {
    std::vector<std::string> types;
    std::vector<std::string> records;
    bool empty() const { return types.empty(); }
};

// One plugin description compiled for one function name.
struct PluginProcessor {
    Finder path_fragment;
    std::string call_type;
    std::string return_type;
    std::optional<std::string> subtype;
    Ref call;
    Ref process;
    std::optional<std::vector<std::string>> events;
    Ref context;  // shared by every processor of one description
    std::unordered_map<uintptr_t, PrefixedId> frame_ids;
};

using PluginMap = std::unordered_map<std::string, std::vector<PluginProcessor>>;

// Asks sarv.plugins.load_plugin_data(config) for descriptions and compiles them. Returns
// false with a Python error set; broken installation invariants throw InternalFault.
bool load_plugins(PyObject* config, PluginMap& out);

struct PluginEvent {
    PyObject* frame;
    const char* event;  // "call" or "return"
    PyObject* event_obj;  // the same text as a str
    PyObject* arg;
    std::string_view filename;
    bool lightweight_repr;
    const CallStack* call_frames;  // the thread's stack, or null when it has none yet
};

// Runs the processors listed for the event's function name. Each failing processor is
// handed to `report` (with the Python error set) and the next one runs.
template <class Report>
void run_plugins(std::vector<PluginProcessor>& processors, const PluginEvent& ev, Batch& batch, Report&& report);

// One processor's turn; false with a Python error set on a processor error.
bool run_processor(PluginProcessor& processor, const PluginEvent& ev, Batch& batch);

template <class Report>
void run_plugins(std::vector<PluginProcessor>& processors, const PluginEvent& ev, Batch& batch, Report&& report) {
    for (auto& processor : processors) {
        if (!run_processor(processor, ev, batch)) {
            report();
        }
    }
}

}  // namespace sarv
