// The reading loop of `sarv diff`: a trace document, given in pieces as it is decompressed,
// walked record by record into one compact call tree per thread. No Python object is made
// per record: the comparison needs only each call's function, its caller, and hashes of
// what it was given and how it ended, and it decodes the few records it shows later, from
// where they begin (sarv.diff.read.RecordFetcher).
//
// sarv.diff.read.read_trace_python is the reference this follows. The hashes are this
// reader's own: both traces of one comparison are read by the same reader, and a forked
// process hashes as its parent does. Records that are not frame records (a test's start
// and end, the exception a call raised, what was left out) are rare and go to a Python
// function, which decodes them as the reference does.
#include "diff/trace_reader.hpp"

#include "diff/scan.hpp"

#include "boundary.hpp"

#include <array>
#include <bit>
#include <deque>
#include <string_view>
#include <unordered_map>

namespace sarv::diff {
namespace {

Ref checked(PyObject* made) {
    if (made == nullptr) {
        throw PythonError{};
    }
    return Ref::steal(made);
}

// ---- the trees

struct Thread {
    Ref name;
    Ref native_id;
    bool has_first = false;
    double first = 0.0;
    std::vector<int32_t> fn, parent;
    std::vector<int64_t> call_hash, ret_hash, subtree, call_at, ret_at;
    std::vector<double> start, end;
    // Calls not returned yet, and what their finished calls added up to.
    std::vector<std::pair<int32_t, FrameId>> open;
    std::vector<int64_t> sums;
    // Recent calls that raised, by frame id, oldest first: a note naming the exception follows.
    std::deque<std::pair<FrameId, int32_t>> raised;
    std::vector<int32_t> plugins;
    std::vector<std::pair<int32_t, int64_t>> notes;  // node, where the note begins

    int32_t add(int32_t function, int64_t hash, int64_t at, double ts) {
        const auto node = static_cast<int32_t>(fn.size());
        fn.push_back(function);
        parent.push_back(open.empty() ? -1 : open.back().first);
        call_hash.push_back(hash);
        ret_hash.push_back(0);
        subtree.push_back(0);
        call_at.push_back(at);
        ret_at.push_back(-1);
        start.push_back(ts);
        end.push_back(ts);
        return node;
    }
};

constexpr size_t RAISED_KEPT = 256;

// A note came after the call it names had returned: the hashes of the calls that returned
// since, which did not know of it, are not known any more (those calls are walked into),
// and the innermost call still open takes the note into its sum.
void unsettle(Thread& t, int32_t node, int64_t noted) {
    auto open_at = [&](int32_t n) {
        for (size_t i = 0; i < t.open.size(); ++i) {
            if (t.open[i].first == n) {
                return static_cast<std::ptrdiff_t>(i);
            }
        }
        return std::ptrdiff_t{-1};
    };
    std::ptrdiff_t index = -1;
    while (node >= 0 && (index = open_at(node)) < 0) {
        t.subtree[static_cast<size_t>(node)] = 0;
        node = t.parent[static_cast<size_t>(node)];
    }
    if (index >= 0) {
        t.sums[static_cast<size_t>(index)] = combine(t.sums[static_cast<size_t>(index)], noted);
    }
}

class TraceReader {
public:
    TraceReader(PyObject* ids, PyObject* keys, PyObject* other) : ids_(ids), keys_(keys), other_(other) {}

    // Each piece is walked where it is; only the bytes of a value that goes on into the next
    // piece are copied (a document is hundreds of megabytes).
    void feed(const Byte* data, size_t size) {
        size_t from = 0;  // where the walk goes on in the piece
        if (!held_.empty()) {
            const size_t old = held_.size();  // all of them not walked yet
            size_t taken = 0;
            while (taken < size && pos_ < old) {
                // (a little more at a time, twice as much each time: a value much longer
                // than the pieces is walked again a few times only)
                const size_t more = std::min(size - taken, std::max<size_t>(held_.size(), 4096));
                held_.insert(held_.end(), data + taken, data + taken + more);
                taken += more;
                if (held_.size() >= wait_for_) {
                    walk(held_.data(), held_.size());
                }
            }
            if (pos_ < old) {
                keep(held_.data(), held_.size());
                return;
            }
            from = pos_ - old;
            base_ += static_cast<int64_t>(old);
            held_.clear();
        }
        pos_ = from;
        walk(data, size);
        keep(data, size);
    }

    void finish() {
        if (state_ != State::Done && !held_.empty()) {
            walk(held_.data(), held_.size());
        }
        if (state_ != State::Done) {
            raise_value_error("the trace document ends early");
        }
    }

    Ref result();

private:
    enum class State { TopHeader, TopKey, TopSkip, FramesHeader, FramesKey, ListHeader, Records, Done };

    void walk(const Byte* window, size_t size);
    void keep(const Byte* window, size_t size);
    bool step();
    void next_top() { state_ = --top_left_ == 0 ? State::Done : State::TopKey; }
    void end_list() {
        if (in_frames_ && lists_left_ != 0) {
            state_ = State::FramesKey;
        } else {
            in_frames_ = false;
            next_top();
        }
    }
    void frame(const FrameView& v, int64_t offset);
    void other(const Byte* record, size_t size, int64_t offset);
    Thread& thread_of(bool has_id, uint64_t native_id, PyObject* id_object, PyObject* name);
    int32_t function_id(const Byte* p, size_t n);

    PyObject* ids_;
    PyObject* keys_;
    PyObject* other_;
    // The bytes walked: a piece, or those held from the pieces before.
    const Byte* window_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;    // where the walk is in them
    int64_t base_ = 0;  // where they begin in the document
    std::vector<Byte> held_;
    size_t wait_for_ = 0;  // held bytes worth another try
    State state_ = State::TopHeader;
    uint64_t top_left_ = 0, lists_left_ = 0, records_left_ = 0;
    bool in_frames_ = false;
    int64_t records_ = 0;
    std::deque<Thread> threads_;  // in the order of their first record
    std::unordered_map<uint64_t, size_t> by_id_;
    size_t without_id_ = SIZE_MAX;  // the thread of records that name no native id
    Thread* last_ = nullptr;
    uint64_t last_id_ = 0;
    std::unordered_map<std::string_view, int32_t> functions_;
    std::deque<std::string> function_keys_;  // what the views of functions_ point into
    std::string scratch_;
};

void TraceReader::walk(const Byte* window, size_t size) {
    window_ = window;
    size_ = size;
    wait_for_ = 0;
    while (state_ != State::Done && step()) {
    }
}

// What is left of the bytes walked is held for the next piece.
void TraceReader::keep(const Byte* window, size_t size) {
    base_ += static_cast<int64_t>(pos_);
    if (window == held_.data()) {
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(pos_));
    } else {
        held_.assign(window + pos_, window + size);
    }
    pos_ = 0;
    wait_for_ = std::min(wait_for_, held_.size() * 2);
}

// One step of the walk; false when the bytes held end first.
bool TraceReader::step() {
    const Byte* p = window_ + pos_;
    const Byte* end = window_ + size_;
    auto wait = [&]() {
        wait_for_ = 2 * (size_ - pos_);  // (what is held once the walked part is let go)
        return false;
    };
    uint64_t count;
    size_t size;
    switch (state_) {
        case State::TopHeader:
        case State::FramesHeader:
        case State::ListHeader: {
            if (!header(p, end, state_ == State::ListHeader ? 0x90 : 0x80, count, size)) {
                return wait();
            }
            pos_ += size;
            if (state_ == State::TopHeader) {
                top_left_ = count;
                state_ = count == 0 ? State::Done : State::TopKey;
            } else if (state_ == State::FramesHeader) {
                lists_left_ = count;
                in_frames_ = true;
                if (count == 0) {
                    in_frames_ = false;
                    next_top();
                } else {
                    state_ = State::FramesKey;
                }
            } else {
                records_left_ = count;
                state_ = State::Records;
            }
            return true;
        }
        case State::TopKey: {
            const Byte* after = skip(p, end);
            if (after == nullptr) {
                return wait();
            }
            std::string_view key;
            pos_ = static_cast<size_t>(after - window_);
            state_ = State::TopSkip;
            if (text_of(p, after, key)) {
                if (key == "frames_of_interest") {
                    in_frames_ = false;
                    state_ = State::ListHeader;
                } else if (key == "frames") {
                    state_ = State::FramesHeader;
                }
            }
            return true;
        }
        case State::TopSkip:
        case State::FramesKey: {
            const Byte* after = skip(p, end);
            if (after == nullptr) {
                return wait();
            }
            pos_ = static_cast<size_t>(after - window_);
            if (state_ == State::TopSkip) {
                next_top();
            } else {
                --lists_left_;  // (the thread's native id: every record says it too)
                state_ = State::ListHeader;
            }
            return true;
        }
        case State::Records: {
            FrameView view;
            while (records_left_ != 0) {
                if (p >= end) {
                    return wait();
                }
                const Byte* after = read_record(p, end, view);
                if (after == nullptr) {
                    return wait();
                }
                const int64_t offset = base_ + static_cast<int64_t>(pos_);
                ++records_;
                --records_left_;
                if (view.frame) {
                    frame(view, offset);
                } else {
                    other(p, static_cast<size_t>(after - p), offset);
                }
                pos_ = static_cast<size_t>(after - window_);
                p = after;
            }
            end_list();
            return true;
        }
        case State::Done: return false;
    }
    return false;
}

Thread& TraceReader::thread_of(bool has_id, uint64_t native_id, PyObject* id_object, PyObject* name) {
    size_t index;
    if (has_id) {
        auto found = by_id_.find(native_id);
        index = found != by_id_.end() ? found->second : SIZE_MAX;
    } else {
        index = without_id_;
    }
    if (index != SIZE_MAX) {
        return threads_[index];
    }
    Thread& made = threads_.emplace_back();
    made.name = Ref::borrow(name);
    made.native_id = Ref::borrow(id_object);
    (has_id ? by_id_[native_id] : without_id_) = threads_.size() - 1;
    return made;
}

int32_t TraceReader::function_id(const Byte* p, size_t n) {
    const std::string_view key(reinterpret_cast<const char*>(p), n);
    auto found = functions_.find(key);
    if (found != functions_.end()) {
        return found->second;
    }
    Ref bytes = checked(PyBytes_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(n)));
    PyObject* known = PyDict_GetItemWithError(ids_, bytes.get());  // borrowed
    long id;
    if (known != nullptr) {
        id = PyLong_AsLong(known);
        if (id == -1 && PyErr_Occurred() != nullptr) {
            throw PythonError{};
        }
    } else {
        if (PyErr_Occurred() != nullptr) {
            throw PythonError{};
        }
        id = static_cast<long>(PyList_GET_SIZE(keys_));
        Ref number = checked(PyLong_FromLong(id));
        if (PyDict_SetItem(ids_, bytes.get(), number.get()) < 0 || PyList_Append(keys_, bytes.get()) < 0) {
            throw PythonError{};
        }
    }
    if (id < 0 || id > INT32_MAX) {
        raise_value_error("read_calls(): a function id out of range");
    }
    const std::string& kept = function_keys_.emplace_back(key);
    functions_.emplace(std::string_view(kept), static_cast<int32_t>(id));
    return static_cast<int32_t>(id);
}

void TraceReader::frame(const FrameView& v, int64_t offset) {
    Thread* t = last_;
    if (t == nullptr || last_id_ != v.native_id) {
        auto found = by_id_.find(v.native_id);
        if (found != by_id_.end()) {
            t = &threads_[found->second];
        } else {
            Ref id = checked(PyLong_FromUnsignedLongLong(v.native_id));
            Ref name = Ref::steal(PyUnicode_DecodeUTF8(v.name.data(), static_cast<Py_ssize_t>(v.name.size()), nullptr));
            if (!name) {
                PyErr_Clear();
                name = checked(PyUnicode_FromString("?"));
            }
            t = &thread_of(true, v.native_id, id.get(), name.get());
        }
        last_ = t;
        last_id_ = v.native_id;
    }
    if (!t->has_first) {
        t->has_first = true;
        t->first = v.timestamp;
    }
    const size_t function_size = static_cast<size_t>(v.event - v.function);
    const size_t values_size = static_cast<size_t>(v.thread - v.values);
    const size_t tail_size = static_cast<size_t>(v.tail_end - v.tail);
    if (v.call) {
        const int32_t fn = function_id(v.function, function_size);
        Hasher h;
        h.word(static_cast<uint64_t>(fn));
        hash_masked(h, v.values, values_size, scratch_);
        h.bytes(v.tail, tail_size);
        const int32_t node = t->add(fn, h.done(), offset, v.timestamp);
        t->open.emplace_back(node, v.id);
        t->sums.push_back(0);
        return;
    }
    // A return: its call is open, most often on top.
    int32_t node;
    bool whole_known = false;
    int64_t inner = 0;
    if (!t->open.empty() && v.id.present && t->open.back().second == v.id) {
        node = t->open.back().first;
        inner = t->sums.back();
        t->open.pop_back();
        t->sums.pop_back();
        whole_known = true;
    } else {
        std::ptrdiff_t index = static_cast<std::ptrdiff_t>(t->open.size()) - 1;
        if (v.id.present) {
            while (index >= 0 && !(t->open[static_cast<size_t>(index)].second == v.id)) {
                --index;
            }
        }
        if (index < 0) {
            // Its call was not recorded: a node of its own, without a call.
            node = t->add(function_id(v.function, function_size), 0, -1, t->first);
        } else {
            node = t->open[static_cast<size_t>(index)].first;
            t->open.resize(static_cast<size_t>(index));
            t->sums.resize(static_cast<size_t>(index));
        }
    }
    Hasher h;
    h.bytes(v.function, function_size);
    hash_masked(h, v.values, values_size, scratch_);
    h.bytes(v.tail, tail_size);
    const int64_t returned = h.done();
    const auto at = static_cast<size_t>(node);
    t->ret_hash[at] = returned;
    if (whole_known) {
        Hasher whole;
        whole.word(static_cast<uint64_t>(t->call_hash[at]));
        whole.word(static_cast<uint64_t>(returned));
        whole.word(static_cast<uint64_t>(inner));
        t->subtree[at] = whole.done();
        if (!t->sums.empty()) {
            t->sums.back() = combine(t->sums.back(), t->subtree[at]);
        }
    } else if (!t->sums.empty()) {
        t->sums.back() = 1;  // (what it held is not known: no match by subtree)
    }
    t->ret_at[at] = offset;
    t->end[at] = v.timestamp;
    if (v.id.present && v.raised) {
        // The exception it raised is named by a note that follows.
        bool kept = false;
        for (auto& entry : t->raised) {
            if (entry.first == v.id) {
                entry.second = node;
                kept = true;
            }
        }
        if (!kept) {
            t->raised.emplace_back(v.id, node);
            if (t->raised.size() > RAISED_KEPT) {
                t->raised.pop_front();
            }
        }
    }
}

// A record that is not a frame record, as the Python function given decodes it: None, or
// ("node", native id, thread name, function id, hash, timestamp or None) for a record of
// its own in the tree, or ("note", native id, thread name, frame id or None, hash) for the
// exception a call raised.
void TraceReader::other(const Byte* record, size_t size, int64_t offset) {
    Ref bytes =
        checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(record), static_cast<Py_ssize_t>(size)));
    Ref at = checked(PyLong_FromLongLong(offset));
    Ref said = checked(PyObject_CallFunctionObjArgs(other_, at.get(), bytes.get(), nullptr));
    last_ = nullptr;
    if (said.get() == Py_None) {
        return;
    }
    PyObject* s = said.get();
    const bool is_node = PyTuple_CheckExact(s) && PyTuple_GET_SIZE(s) == 6;
    const bool is_note = PyTuple_CheckExact(s) && PyTuple_GET_SIZE(s) == 5;
    if (!is_node && !is_note) {
        PyErr_SetString(PyExc_TypeError, "read_calls(): other() returns None or a tuple of 5 or 6 items");
        throw PythonError{};
    }
    PyObject* id_object = PyTuple_GET_ITEM(s, 1);
    const bool has_id = id_object != Py_None;
    const uint64_t native_id = has_id ? PyLong_AsUnsignedLongLong(id_object) : 0;
    if (PyErr_Occurred() != nullptr) {
        throw PythonError{};
    }
    Thread& t = thread_of(has_id, native_id, id_object, PyTuple_GET_ITEM(s, 2));
    if (is_note) {
        const long long h = PyLong_AsLongLong(PyTuple_GET_ITEM(s, 4));
        PyObject* frame_id = PyTuple_GET_ITEM(s, 3);
        if (h == -1 && PyErr_Occurred() != nullptr) {
            throw PythonError{};
        }
        if (frame_id == Py_None) {
            return;  // (the thread is known now, as the reference has it)
        }
        char* data;
        Py_ssize_t length;
        if (PyBytes_AsStringAndSize(frame_id, &data, &length) < 0) {
            throw PythonError{};
        }
        if (static_cast<size_t>(length) != ID_SIZE) {
            return;
        }
        FrameId id;
        id.present = true;
        std::memcpy(id.bytes.data(), data, ID_SIZE);
        for (auto entry = t.raised.begin(); entry != t.raised.end(); ++entry) {
            if (entry->first == id) {
                const auto node = static_cast<size_t>(entry->second);
                t.raised.erase(entry);
                t.ret_hash[node] = combine(t.ret_hash[node], h);
                t.notes.emplace_back(static_cast<int32_t>(node), offset);
                unsettle(t, static_cast<int32_t>(node), h);
                return;
            }
        }
        return;
    }
    const long fn = PyLong_AsLong(PyTuple_GET_ITEM(s, 3));
    const long long h = PyLong_AsLongLong(PyTuple_GET_ITEM(s, 4));
    PyObject* ts_object = PyTuple_GET_ITEM(s, 5);
    const double ts = ts_object == Py_None ? 0.0 : PyFloat_AsDouble(ts_object);
    if (PyErr_Occurred() != nullptr) {
        throw PythonError{};
    }
    if (fn < 0 || fn > INT32_MAX) {
        raise_value_error("read_calls(): a function id out of range");
    }
    const bool has_ts = ts_object != Py_None || t.has_first;
    const double when = ts_object != Py_None ? ts : t.first;
    if (!t.has_first && has_ts) {
        t.has_first = true;
        t.first = when;
    }
    const int32_t node = t.add(static_cast<int32_t>(fn), h, offset, has_ts ? when : 0.0);
    t.plugins.push_back(node);
    t.subtree[static_cast<size_t>(node)] = h;
    if (!t.sums.empty()) {
        t.sums.back() = combine(t.sums.back(), h);
    }
}

template <class T>
Ref bytes_of(std::vector<T>& values) {
    Ref out = checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                static_cast<Py_ssize_t>(values.size() * sizeof(T))));
    std::vector<T>().swap(values);  // (let go at once: a million nodes are tens of megabytes)
    return out;
}

// (records, [thread, ...], {function id: [calls, seconds]}), a thread being (name, native id,
// first timestamp or None, then the bytes of the arrays fn, parent, call_hash, ret_hash,
// subtree, call_at, ret_at, start, end, kid_start, kids, kid_fn, kid_hash, kid_subtree, then
// [plugin nodes], {node: where the note of what it raised begins}).
Ref TraceReader::result() {
    // Time per function: its returned calls, from call to return, summed in the order of
    // the reference (threads as they came, calls in order), so that the sums are the same.
    std::unordered_map<int32_t, std::pair<long long, double>> seconds;
    for (const Thread& t : threads_) {
        for (size_t i = 0; i < t.fn.size(); ++i) {
            if (t.ret_at[i] >= 0) {
                auto& spent = seconds[t.fn[i]];
                spent.first += 1;
                spent.second += t.end[i] - t.start[i];
            }
        }
    }
    Ref seconds_dict = checked(PyDict_New());
    for (const auto& [fn, spent] : seconds) {
        Ref key = checked(PyLong_FromLong(fn));
        Ref value = checked(Py_BuildValue("[Ld]", spent.first, spent.second));
        if (PyDict_SetItem(seconds_dict.get(), key.get(), value.get()) < 0) {
            throw PythonError{};
        }
    }
    Ref threads = checked(PyList_New(0));
    for (Thread& t : threads_) {
        // The calls each made, in order: kids of node n are kids[kid_start[n + 1]:kid_start[n + 2]]
        // (n + 1: the top's are those of -1).
        const size_t n = t.fn.size();
        std::vector<int32_t> kid_start(n + 2, 0), kids(n);
        for (int32_t parent : t.parent) {
            ++kid_start[static_cast<size_t>(parent + 2)];
        }
        for (size_t i = 1; i < kid_start.size(); ++i) {
            kid_start[i] += kid_start[i - 1];
        }
        std::vector<int32_t> fill(kid_start.begin(), kid_start.end() - 1);
        for (size_t node = 0; node < n; ++node) {
            kids[static_cast<size_t>(fill[static_cast<size_t>(t.parent[node] + 1)]++)] = static_cast<int32_t>(node);
        }
        // What aligning the calls of a node compares, in the same order: slices then.
        std::vector<int32_t> kid_fn(n);
        std::vector<int64_t> kid_hash(n), kid_subtree(n);
        for (size_t i = 0; i < n; ++i) {
            const auto node = static_cast<size_t>(kids[i]);
            kid_fn[i] = t.fn[node];
            kid_hash[i] = t.call_hash[node];
            kid_subtree[i] = t.subtree[node];
        }
        Ref plugins = checked(PyList_New(0));
        for (int32_t node : t.plugins) {
            Ref number = checked(PyLong_FromLong(node));
            if (PyList_Append(plugins.get(), number.get()) < 0) {
                throw PythonError{};
            }
        }
        Ref notes = checked(PyDict_New());
        for (const auto& [node, at] : t.notes) {
            Ref key = checked(PyLong_FromLong(node));
            Ref value = checked(PyLong_FromLongLong(at));
            if (PyDict_SetItem(notes.get(), key.get(), value.get()) < 0) {
                throw PythonError{};
            }
        }
        Ref first = t.has_first ? checked(PyFloat_FromDouble(t.first)) : Ref::borrow(Py_None);
        Ref arrays[] = {bytes_of(t.fn),      bytes_of(t.parent),   bytes_of(t.call_hash), bytes_of(t.ret_hash),
                        bytes_of(t.subtree), bytes_of(t.call_at),  bytes_of(t.ret_at),    bytes_of(t.start),
                        bytes_of(t.end),     bytes_of(kid_start),  bytes_of(kids),        bytes_of(kid_fn),
                        bytes_of(kid_hash),  bytes_of(kid_subtree)};
        constexpr Py_ssize_t ARRAYS = sizeof(arrays) / sizeof(arrays[0]);
        Ref item = checked(PyTuple_New(ARRAYS + 5));
        PyObject* head[3] = {t.name.get(), t.native_id.get(), first.get()};
        for (Py_ssize_t i = 0; i < 3; ++i) {
            PyTuple_SET_ITEM(item.get(), i, Ref::borrow(head[i]).release());
        }
        for (Py_ssize_t i = 0; i < ARRAYS; ++i) {
            PyTuple_SET_ITEM(item.get(), 3 + i, arrays[i].release());
        }
        PyTuple_SET_ITEM(item.get(), ARRAYS + 3, plugins.release());
        PyTuple_SET_ITEM(item.get(), ARRAYS + 4, notes.release());
        if (PyList_Append(threads.get(), item.get()) < 0) {
            throw PythonError{};
        }
    }
    Ref records = checked(PyLong_FromLongLong(records_));
    return checked(PyTuple_Pack(3, records.get(), threads.get(), seconds_dict.get()));
}

}  // namespace

PyObject* read_calls(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 4) {
            PyErr_Format(PyExc_TypeError, "read_calls() takes 4 positional arguments (%zd given)", nargs);
            return nullptr;
        }
        if (!PyDict_CheckExact(args[1]) || !PyList_CheckExact(args[2]) || !PyCallable_Check(args[3])) {
            PyErr_SetString(PyExc_TypeError, "read_calls() takes pieces, a dict, a list and a callable");
            return nullptr;
        }
        try {
            TraceReader reader(args[1], args[2], args[3]);
            Ref pieces = checked(PyObject_GetIter(args[0]));
            while (Ref piece = Ref::steal(PyIter_Next(pieces.get()))) {
                Py_buffer view;
                if (PyObject_GetBuffer(piece.get(), &view, PyBUF_SIMPLE) < 0) {
                    throw PythonError{};
                }
                struct Release {
                    Py_buffer* view;
                    ~Release() { PyBuffer_Release(view); }
                } release{&view};
                reader.feed(static_cast<const Byte*>(view.buf), static_cast<size_t>(view.len));
            }
            if (PyErr_Occurred() != nullptr) {
                throw PythonError{};
            }
            reader.finish();
            return reader.result().release();
        } catch (const PythonError&) {
            return nullptr;
        }
    });
}

}  // namespace sarv::diff
