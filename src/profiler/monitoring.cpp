#include "profiler/monitoring.hpp"

#include "boundary.hpp"
#include "interp/code_cache.hpp"
#include "interp/frames.hpp"
#include "profiler/profiler.hpp"
#include "profiler/reports.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace sarv {

#if PY_VERSION_HEX >= 0x030C0000
namespace {

// The thread's profiler, found without a lookup. The reference that keeps it alive is in
// the thread state's dict, which the interpreter clears with the thread; `tstate` tells a
// later thread state of the same system thread from the one that registered.
struct MonitoredThread {
    PyThreadState* tstate = nullptr;
    PyObject* profiler = nullptr;   // borrowed from the thread state's dict
    PyFrameObject* switching = nullptr;  // its call event is the switch: not recorded
    uint64_t retirements = 0;            // the count of profilers stopped everywhere, as last seen
};
thread_local MonitoredThread current;  // trivially destructible: nothing runs at thread exit

enum class Kind { Start, Resume, Throw, Return, Yield, Unwind };

constexpr int NOT_TRIED = -2;
constexpr int NONE_FREE = -1;
// Tried in order: the two ids no tool is named for, then the profilers' own. cProfile
// insists on PROFILER_ID (2) and fails when it is taken, so it is sarv's last choice; the
// debugger's, coverage's and optimizer's ids are left to those tools.
constexpr int TOOL_IDS[] = {3, 4, 2};

struct Tool {
    int id = NOT_TRIED;
    PyObject* disable = nullptr;  // sys.monitoring.DISABLE (these kept for the process)
    PyObject* set_events = nullptr;
    PyObject* set_local_events = nullptr;
    long mask = 0;
    long py_start = 0;
    bool events_on = false;
};
Tool tool;

// A profiler that hooked a thread through sys.monitoring, until it is freed. It is live
// while it has threads hooked and was not stopped everywhere (`retired`): code is switched
// off only when every live profiler leaves it out, and while none is live (any code, its
// first event: the next profiler to start may want some).
struct Watcher {
    SarvProfiler* profiler;
    size_t threads;
    size_t group;
    bool retired;
};
std::vector<Watcher> watchers;
// Changes whenever what leaves_out_everywhere answers may change (a watcher added, retired,
// freed, or its last thread gone); never 0, never reused.
uint64_t watchers_generation = 1;
void watchers_changed() { ++watchers_generation; }
// Threads hooked now (their slot's capsule alive).
size_t hooked_threads = 0;
// Profilers stopped everywhere so far: a hooked thread sees a change at its next event.
uint64_t retirements = 0;

// Profilers with the same filters and plugins leave out the same code. `seen`: every code
// object switched off until then is left out by them (or was switched back on).
struct Group {
    std::string filters;
    uint64_t seen;
};
std::vector<Group>& groups() {
    static auto* made = new std::vector<Group>();  // strings only, but never freed at exit either
    return *made;
}

size_t group_of(const SarvProfiler& profiler) {
    std::string filters;
    auto add = [&](const std::string& text) {
        filters += text;
        filters.push_back('\0');
    };
    for (const Finder& finder : profiler.config.include_frames) {
        add(finder.needle());
    }
    add("|");
    for (const Finder& finder : profiler.config.ignore_frames) {
        add(finder.needle());
    }
    std::vector<std::string> plugins;
    for (const auto& [name, processors] : profiler.plugins) {
        for (const PluginProcessor& processor : processors) {
            plugins.push_back(name + '\0' + processor.path_fragment.needle());
        }
    }
    std::sort(plugins.begin(), plugins.end());
    add("|");
    for (const std::string& plugin : plugins) {
        add(plugin);
    }
    std::vector<Group>& all = groups();
    auto found = std::find_if(all.begin(), all.end(), [&](const Group& g) { return g.filters == filters; });
    if (found != all.end()) {
        return static_cast<size_t>(found - all.begin());
    }
    all.push_back(Group{std::move(filters), 0});
    return all.size() - 1;
}

Watcher* watcher_of(SarvProfiler* profiler) {
    auto it = std::find_if(watchers.begin(), watchers.end(), [&](const Watcher& w) { return w.profiler == profiler; });
    return it != watchers.end() ? &*it : nullptr;
}

// Code objects with locations switched off (by a weak reference, and the switch-off count
// when it last happened), to switch back on for a profiler that wants them. Made once and
// never freed: no reference is dropped after the interpreter is gone.
struct SwitchedOff {
    Ref weak;
    uint64_t serial;
};
using SwitchedMap = std::unordered_map<PyCodeObject*, SwitchedOff>;
SwitchedMap& switched() {
    static SwitchedMap* map = new SwitchedMap();
    return *map;
}
uint64_t switch_count = 0;
size_t purge_above = 1024;

// The code object a weak reference still names (a new reference), or null.
Ref referent(PyObject* weak) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = nullptr;
    if (PyWeakref_GetRef(weak, &found) < 0) {
        PyErr_Clear();
        return Ref();
    }
    return Ref::steal(found);
#else
    PyObject* found = PyWeakref_GetObject(weak);
    return found != nullptr && found != Py_None ? Ref::borrow(found) : Ref();
#endif
}

// `code` entered in `map` (or its entry renewed) with `serial`; false when no weak
// reference can be made to it (it then stays on: sarv could not switch it back).
bool note_switched(SwitchedMap& map, PyCodeObject* code, uint64_t serial) {
    auto found = map.find(code);
    if (found != map.end() && referent(found->second.weak.get()).get() == reinterpret_cast<PyObject*>(code)) {
        found->second.serial = serial;
        return true;
    }
    Ref weak = Ref::steal(PyWeakref_NewRef(reinterpret_cast<PyObject*>(code), nullptr));
    if (!weak) {
        PyErr_Clear();
        return false;
    }
    map.insert_or_assign(code, SwitchedOff{std::move(weak), serial});
    return true;
}

PyObject* switch_off(PyCodeObject* code) {
    SwitchedMap& map = switched();
    if (!note_switched(map, code, ++switch_count)) {
        Py_RETURN_NONE;
    }
    if (map.size() > purge_above) {
        std::erase_if(map, [](const auto& entry) { return !referent(entry.second.weak.get()); });
        purge_above = std::max<size_t>(1024, map.size() * 2);
    }
    return Py_NewRef(tool.disable);
}

bool set_events(long mask) {
    Ref done = Ref::steal(PyObject_CallFunction(tool.set_events, "il", tool.id, mask));
    if (!done) {
        return false;
    }
    tool.events_on = mask != 0;
    return true;
}

bool any_unretired() {
    return std::any_of(watchers.begin(), watchers.end(), [](const Watcher& w) { return !w.retired; });
}

// Our events off when every profiler was stopped (or freed): nothing is handed to sarv until
// the next registration. Never fails (a later event tries again).
void events_off_if_done() {
    if (tool.events_on && !any_unretired()) {
        FetchedError pending;
        if (!set_events(0)) {
            PyErr_Clear();
        }
    }
}

// The locations of these code objects switched back on, for our tool alone
// (restart_events() would switch on every tool's). A code object's locations come back
// when it is instrumented afresh while our events are off, which setting a local event and
// taking it off again forces.
bool instrument_afresh(const std::vector<Ref>& codes) {
    if (codes.empty()) {
        return true;
    }
    bool was_on = tool.events_on;
    if (was_on && !set_events(0)) {
        return false;
    }
    for (const Ref& code : codes) {
        Ref on = Ref::steal(PyObject_CallFunction(tool.set_local_events, "iOl", tool.id, code.get(), tool.py_start));
        Ref off = on ? Ref::steal(PyObject_CallFunction(tool.set_local_events, "iOi", tool.id, code.get(), 0)) : Ref();
        if (!off) {
            PyErr_Clear();  // code the interpreter does not instrument (a shim): no events to restore
        }
    }
    return !was_on || set_events(tool.mask);
}

// `watcher` becomes live: the code switched off since its group last checked, and that it
// does not leave out, is switched back on.
bool switch_back_on_for(const Watcher& watcher) {
    std::vector<Ref> codes;
    SwitchedMap& map = switched();
    uint64_t seen = groups()[watcher.group].seen;
    if (seen == switch_count) {
        return true;  // nothing switched off since
    }
    groups()[watcher.group].seen = switch_count;
    for (auto it = map.begin(); it != map.end();) {
        // Entries of code that is gone go at every scan, not only when the map is large:
        // code made and dropped between profilers (per request, per test) would otherwise
        // pile up to the purge.
        Ref code = referent(it->second.weak.get());
        if (!code) {
            it = map.erase(it);
            continue;
        }
        if (it->second.serial <= seen) {
            ++it;
            continue;
        }
        CodeInfo* info = peek_code_info(reinterpret_cast<PyCodeObject*>(code.get()));
        if (info != nullptr && watcher.profiler->leaves_out(*info)) {
            ++it;
            continue;
        }
        codes.push_back(std::move(code));
        it = map.erase(it);
    }
    return instrument_afresh(codes);
}

// Resumptions and suspensions of generators switched off past a "stop" cap: every
// profiler's trace that wanted them had ended. Back on as soon as one may want them again
// (a trace taken, a thread hooked).
// (kept as `switched` keeps its code; never purged: emptied at every trace taken)
SwitchedMap& switched_past_cap() {
    static auto* made = new SwitchedMap();  // never freed, as above
    return *made;
}

bool ended_everywhere(const SarvProfiler& profiler, const CodeInfo& info) {
    return std::all_of(watchers.begin(), watchers.end(), [&](const Watcher& w) {
        return w.profiler == &profiler || w.threads == 0 || w.retired ||
               w.profiler->buffers.ended.load(std::memory_order_relaxed) || w.profiler->leaves_out(info);
    });
}

PyObject* switch_off_past_cap(PyCodeObject* code) {
    return note_switched(switched_past_cap(), code, 0) ? Py_NewRef(tool.disable) : Py_NewRef(Py_None);
}

bool switch_back_on_past_cap() {
    SwitchedMap& listed = switched_past_cap();
    if (listed.empty()) {
        return true;
    }
    std::vector<Ref> codes;
    for (const auto& entry : listed) {
        if (Ref code = referent(entry.second.weak.get())) {
            codes.push_back(std::move(code));
        }
    }
    listed.clear();
    return instrument_afresh(codes);
}

constexpr const char* SLOT_NAME = "sarv._sarv.monitored_profiler";

// The thread's slot: a capsule owning a reference to the profiler, freed with the thread
// state's dict (or when the thread is unhooked), which counts the thread out.
void release_slot(PyObject* capsule) {
    PyObject* obj = static_cast<PyObject*>(PyCapsule_GetPointer(capsule, SLOT_NAME));
    --hooked_threads;
    if (Watcher* watcher = watcher_of(reinterpret_cast<PyProfiler*>(obj)->state); watcher && --watcher->threads == 0) {
        watchers_changed();
        if (!watcher->retired) {
            groups()[watcher->group].seen = switch_count;  // what it switched off, it left out
        }
    }
    Ref profiler = Ref::steal(obj);  // may free the profiler (and its watcher): last
}

Ref new_slot(PyObject* profiler, Watcher& watcher) {
    Ref capsule = Ref::steal(PyCapsule_New(profiler, SLOT_NAME, release_slot));
    if (capsule) {
        Ref(Ref::borrow(profiler)).release();  // the capsule's reference
        ++hooked_threads;
        if (watcher.threads++ == 0) {
            watchers_changed();
        }
    }
    return capsule;
}

PyObject* slot_key() {
    static PyObject* key = PyUnicode_InternFromString(SLOT_NAME);
    return key;
}

void warn(const char* message) { queue_warning(message); }

bool leaves_out_everywhere(PyCodeObject* code) {
    CodeInfo* info = peek_code_info(code);
    if (info == nullptr) {
        info = guarded<Boundary::Unraisable>([&] { return &code_info(code); });
        if (info == nullptr) {
            PyErr_Clear();
            return false;
        }
    }
    if (info->everywhere_generation != watchers_generation) {
        info->everywhere = std::all_of(watchers.begin(), watchers.end(), [&](const Watcher& w) {
            return w.threads == 0 || w.retired || w.profiler->leaves_out(*info);
        });
        info->everywhere_generation = watchers_generation;
    }
    return info->everywhere;
}

// Some profiler was stopped everywhere since this thread last looked: if it is the thread's,
// the thread is let go. The thread's profiler after that, or null.
PyObject* let_go_if_stopped() {
    current.retirements = retirements;
    if (current.profiler == nullptr || current.tstate != PyThreadState_Get()) {
        return nullptr;
    }
    Watcher* watcher = watcher_of(reinterpret_cast<PyProfiler*>(current.profiler)->state);
    if (watcher != nullptr && watcher->retired) {
        unmonitor_thread();
        return nullptr;
    }
    return current.profiler;
}

constexpr bool is_local(Kind kind) { return kind != Kind::Throw && kind != Kind::Unwind; }

template <Kind K>
PyObject* on_event(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    constexpr bool call = K == Kind::Start || K == Kind::Resume || K == Kind::Throw;
    if (nargs < (call ? 2 : 3) || !PyCode_Check(args[0])) [[unlikely]] {
        Py_RETURN_NONE;
    }
    auto* code = reinterpret_cast<PyCodeObject*>(args[0]);
    MonitoredThread& here = detail::kept_address(current);  // (each thread-local read is a call)
    PyObject* obj = here.profiler;
    PyFrameObject* switching = here.switching;
    here.switching = nullptr;
    if (obj != nullptr && here.retirements != retirements) [[unlikely]] {
        obj = let_go_if_stopped();
    }
    if (obj == nullptr || here.tstate != PyThreadState_Get()) {
        if (!any_unretired()) [[unlikely]] {
            events_off_if_done();  // the profilers were stopped or freed since
            Py_RETURN_NONE;
        }
        // A thread that records nothing: the code is switched off if no profiler wants it.
        if (is_local(K) && !detail::words.raises_pending && leaves_out_everywhere(code)) {
            return switch_off(code);
        }
        Py_RETURN_NONE;
    }
    SarvProfiler* profiler = reinterpret_cast<PyProfiler*>(obj)->state;
    CodeInfo* info = peek_code_info(code);
    detail::ThreadWords& w = detail::kept_address(detail::words);
    if (profiler->is_quickly_excluded(info) && !w.raises_pending) {
        if (is_local(K) && leaves_out_everywhere(code)) {
            return switch_off(code);
        }
        Py_RETURN_NONE;
    }
    // Past a "stop" cap a generator's resumptions and suspensions would each cost an event
    // for nothing but its time: they are switched off once every trace that could want them
    // has ended. Its calls stay counted (their starts and returns are still seen).
    bool off_past_cap = false;
    if constexpr (K == Kind::Resume || K == Kind::Yield) {
        if (info != nullptr && switching == nullptr && !w.raises_pending &&
            profiler->buffers.ended.load(std::memory_order_relaxed)) [[unlikely]] {
            off_past_cap = profiler->stop_timing_past_cap(*info, code) && ended_everywhere(*profiler, *info);
            if (K == Kind::Resume && profiler->untimed(*info)) {
                // (no call left out is started for it: its suspension may not be seen)
                return off_past_cap ? switch_off_past_cap(code) : Py_NewRef(Py_None);
            }
        }
    }
    auto done = [&]() -> PyObject* { return off_past_cap ? switch_off_past_cap(code) : Py_NewRef(Py_None); };
    constexpr bool resuming = K == Kind::Resume || K == Kind::Throw;
#ifdef SARV_CURRENT_ACTIVATION
    // (before a frame object is made for the event: a call left out needs none)
    if (switching == nullptr &&
        profiler->leaves_out_quickly(info, current_activation(here.tstate), call, K == Kind::Unwind, resuming, w)) {
        return done();  // a call left out of the trace, or one it makes
    }
#endif
    PyFrameObject* frame = PyEval_GetFrame();
    if (frame == nullptr || (call && frame == switching)) {
        return done();
    }
#ifndef SARV_CURRENT_ACTIVATION
    if (profiler->leaves_out_quickly(info, activation_of(frame), call, K == Kind::Unwind, resuming, w)) {
        return done();
    }
#endif
    HookEvent ev;
    ev.frame = frame;
    ev.code = info;
    ev.words = &w;
    if constexpr (call) {
        ev.kind = HookEvent::Kind::Call;
        ev.arg = Py_None;
    } else if constexpr (K == Kind::Unwind) {
        ev.kind = HookEvent::Kind::Unwind;
        ev.exception = args[2];  // named in its companion record at once
    } else {
        ev.kind = HookEvent::Kind::Return;
        ev.arg = args[2];
        ev.exit_known = true;
        ev.suspended = K == Kind::Yield;
    }
    if (handle_event(obj, ev) < 0) {
        return nullptr;
    }
    if (off_past_cap) {
        return done();
    }
    if (is_local(K) && !w.raises_pending) {
        // The first event of code left out: its later ones cost nothing.
        info = peek_code_info(code);
        if (profiler->is_quickly_excluded(info) && leaves_out_everywhere(code)) {
            return switch_off(code);
        }
    }
    Py_RETURN_NONE;
}

struct Callback {
    const char* event;
    PyMethodDef def;
};
Callback callbacks[] = {
    {"PY_START",
     {"sarv_py_start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_event<Kind::Start>)),
      METH_FASTCALL, nullptr}},
    {"PY_RESUME",
     {"sarv_py_resume", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_event<Kind::Resume>)),
      METH_FASTCALL, nullptr}},
    {"PY_THROW",
     {"sarv_py_throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_event<Kind::Throw>)),
      METH_FASTCALL, nullptr}},
    {"PY_RETURN",
     {"sarv_py_return", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_event<Kind::Return>)),
      METH_FASTCALL, nullptr}},
    {"PY_YIELD",
     {"sarv_py_yield", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_event<Kind::Yield>)),
      METH_FASTCALL, nullptr}},
    {"PY_UNWIND",
     {"sarv_py_unwind", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_event<Kind::Unwind>)),
      METH_FASTCALL, nullptr}},
};

// Claims a tool id and registers the callbacks. False (no error set) when sys.monitoring
// cannot be used.
bool claim_tool() {
    FetchedError pending;
    Ref sys = import_module(names().mod_sys);
    Ref monitoring = sys ? Ref::steal(PyObject_GetAttrString(sys.get(), "monitoring")) : Ref();
    if (!monitoring) {
        PyErr_Clear();
        return false;
    }
    Ref get_tool = Ref::steal(PyObject_GetAttrString(monitoring.get(), "get_tool"));
    Ref use_tool_id = Ref::steal(PyObject_GetAttrString(monitoring.get(), "use_tool_id"));
    Ref register_callback = Ref::steal(PyObject_GetAttrString(monitoring.get(), "register_callback"));
    Ref events = Ref::steal(PyObject_GetAttrString(monitoring.get(), "events"));
    Ref disable = Ref::steal(PyObject_GetAttrString(monitoring.get(), "DISABLE"));
    Ref set_events = Ref::steal(PyObject_GetAttrString(monitoring.get(), "set_events"));
    Ref set_local_events = Ref::steal(PyObject_GetAttrString(monitoring.get(), "set_local_events"));
    Ref py_start = events ? Ref::steal(PyObject_GetAttrString(events.get(), "PY_START")) : Ref();
    long py_start_bit = py_start ? PyLong_AsLong(py_start.get()) : -1;
    if (!get_tool || !use_tool_id || !register_callback || !disable || !set_events || !set_local_events ||
        py_start_bit <= 0) {
        PyErr_Clear();
        return false;
    }
    int id = NONE_FREE;
    for (int candidate : TOOL_IDS) {
        Ref owner = Ref::steal(PyObject_CallFunction(get_tool.get(), "i", candidate));
        if (!owner) {
            PyErr_Clear();
            continue;
        }
        if (owner.get() != Py_None) {
            continue;
        }
        Ref used = Ref::steal(PyObject_CallFunction(use_tool_id.get(), "is", candidate, "sarv"));
        if (!used) {
            PyErr_Clear();
            continue;
        }
        id = candidate;
        break;
    }
    if (id == NONE_FREE) {
        return false;
    }
    long mask = 0;
    for (Callback& callback : callbacks) {
        Ref value = Ref::steal(PyObject_GetAttrString(events.get(), callback.event));
        long bit = value ? PyLong_AsLong(value.get()) : -1;
        Ref function = Ref::steal(PyCFunction_New(&callback.def, nullptr));
        Ref done =
            bit > 0 && function
                ? Ref::steal(PyObject_CallFunction(register_callback.get(), "iOO", id, value.get(), function.get()))
                : Ref();
        if (!done) {
            PyErr_Clear();
            Ref free_id = Ref::steal(PyObject_CallMethod(monitoring.get(), "free_tool_id", "i", id));
            PyErr_Clear();
            return false;
        }
        mask |= bit;
    }
    tool.id = id;
    tool.mask = mask;
    tool.disable = disable.release();  // kept for the life of the process
    tool.py_start = py_start_bit;
    tool.set_events = set_events.release();
    tool.set_local_events = set_local_events.release();
    return true;
}

}  // namespace

bool monitoring_in_use() {
    if (tool.id == NOT_TRIED) {
        const char* wanted = std::getenv("SARV_MONITORING");
        if (wanted != nullptr && std::strcmp(wanted, "0") == 0) {
            return false;  // asked again at the next registration
        }
        if (!claim_tool()) {
            tool.id = NONE_FREE;
            warn(
                "sarv: no sys.monitoring tool id is free (another tool uses them): recording through the " "profile hook instead");
        }
    }
    return tool.id >= 0;
}

bool monitor_thread(PyObject* profiler, PyObject* switching) {
    PyObject* dict = PyThreadState_GetDict();
    PyObject* key = slot_key();
    if (dict == nullptr || key == nullptr) {
        ensure_error_set();
        return false;
    }
    SarvProfiler* state = profiler_of(profiler);
    if (state == nullptr) {
        return false;
    }
    if (watcher_of(state) == nullptr) {
        watchers.push_back(Watcher{state, 0, group_of(*state), false});
    }
    if (watcher_of(state)->retired) {
        watcher_of(state)->retired = false;  // registered again after a stop
        watchers_changed();
    }
    if (Watcher copy = *watcher_of(state); !switch_back_on_for(copy) || !switch_back_on_past_cap()) {
        return false;
    }
    Ref slot = new_slot(profiler, *watcher_of(state));
    if (!slot || PyDict_SetItem(dict, key, slot.get()) < 0) {
        return false;
    }
    if (!tool.events_on && !set_events(tool.mask)) {
        return false;
    }
    current.tstate = PyThreadState_Get();
    current.profiler = profiler;
    current.retirements = retirements;
    current.switching =
        switching != nullptr && PyFrame_Check(switching) ? reinterpret_cast<PyFrameObject*>(switching) : nullptr;
    PyEval_SetProfile(nullptr, nullptr);
    return true;
}

bool unmonitor_thread() {
    if (current.profiler == nullptr) {
        return false;
    }
    bool here = current.tstate == PyThreadState_Get();  // else a thread state gone before
    current.profiler = nullptr;
    current.switching = nullptr;
    FetchedError pending;
    PyObject* dict = PyThreadState_GetDict();
    if (dict != nullptr && slot_key() != nullptr && PyDict_DelItem(dict, slot_key()) < 0) {
        PyErr_Clear();
    }
    return here;
}

void retire_monitored(SarvProfiler* profiler) {
    if (Watcher* watcher = watcher_of(profiler); watcher != nullptr && !watcher->retired) {
        watcher->retired = true;
        watchers_changed();
        ++retirements;
        let_go_if_stopped();
        events_off_if_done();
    }
}

PyObject* monitored_profiler() {
    if (current.retirements != retirements) {
        return let_go_if_stopped();
    }
    return current.tstate == PyThreadState_Get() ? current.profiler : nullptr;
}

void trace_taken() {
    if (!switched_past_cap().empty()) {
        FetchedError pending;
        if (!switch_back_on_past_cap()) {
            PyErr_WriteUnraisable(nullptr);  // the next trace's generators may go unseen
        }
    }
}

void forget_monitored(SarvProfiler* profiler) {
    if (std::erase_if(watchers, [&](const Watcher& w) { return w.profiler == profiler; }) != 0) {
        watchers_changed();
    }
}

#else

bool monitoring_in_use() { return false; }
bool monitor_thread(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_RuntimeError, "sys.monitoring needs Python 3.12 or newer");
    return false;
}
bool unmonitor_thread() { return false; }
PyObject* monitored_profiler() { return nullptr; }
void forget_monitored(SarvProfiler*) {}
void retire_monitored(SarvProfiler*) {}
void trace_taken() {}

#endif

}  // namespace sarv
