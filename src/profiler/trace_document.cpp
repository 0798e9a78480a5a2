// The trace document: written from the records taken out of the buffers, as one bytes
// object or in pieces for storage, and the two ways out of the profiler, build_trace() and
// save_in_db().
#include "profiler/monitoring.hpp"
#include "profiler/profiler.hpp"
#include "profiler/document.hpp"
#include "profiler/reports.hpp"
#include "boundary.hpp"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <memory>

namespace sarv {

namespace {

// Bytes of a spilled run (`size` of them from `offset`) into the document: counted,
// read straight into the document's memory, or referred to in the file.
void write_spilled(CountingSink& sink, const SpilledRun&, uint64_t, size_t size) { sink.size += size; }

void write_spilled(BoundedSink& sink, const SpilledRun& run, uint64_t offset, size_t size) {
    if (size > static_cast<size_t>(sink.end - sink.cursor)) {
        throw InternalFault("MessagePack writing outgrew the room counted for it");
    }
    read_spool_file(run.file->fd, sink.cursor, size, offset);
    sink.cursor += size;
}

void write_spilled(DocumentParts& parts, const SpilledRun& run, uint64_t offset, size_t size) {
    parts.refer_file(run.file, offset, size);
}

// The records of a list, oldest first, but for the first `skip` bytes: those in the
// spool's files, then those in memory.
template <class Sink>
void write_records(MsgpackWriter<Sink>& w, Sink& sink, const RecordList& list, size_t skip) {
    for (const SpilledRun& run : list.spilled()) {
        size_t cut = std::min(skip, run.bytes);
        skip -= cut;
        if (run.bytes > cut) {
            write_spilled(sink, run, run.data + cut, run.bytes - cut);
        }
    }
    list.for_each_run([&w, &skip](std::string_view run) {
        size_t cut = std::min(skip, run.size());
        skip -= cut;
        if (run.size() > cut) {
            w.raw(run.substr(cut));
        }
    });
}

// The note of records the caps dropped.
template <class Sink>
void write_dropped_note(MsgpackWriter<Sink>& w, const DocumentMeta& meta) {
    w.map_header(meta.max_bytes != 0 ? 5 : 4);
    w.str_pair("type", "records_dropped");
    w.int_pair("dropped", meta.dropped);
    w.int_pair("max_records", meta.max_records);
    if (meta.max_bytes != 0) {
        w.int_pair("max_bytes", meta.max_bytes);
    }
    w.str_pair("mode", meta.keep_latest ? "ring" : "stop");
}

// The entries after the records.
template <class Sink>
void write_tail(Sink& sink, const DocumentMeta& meta) {
    MsgpackWriter<Sink> w(sink);
    w.int_pair("main_thread_id", meta.main_thread_id);
    w.str("meta");
    w.map_header(3);
    w.str_pair("version", meta.version);
    w.str_pair("source", meta.source);
    w.str("use_frame_boundaries");
    w.boolean(true);
    w.f64_pair("timestamp", meta.created);
    w.str_pair("trace_id", meta.trace_id);
}

template <class Sink>
void write_document(Sink& sink, const DocumentMeta& meta, const TakenFrames& taken) {
    MsgpackWriter<Sink> w(sink);
    w.map_header(8);
    w.str("command_line_args");
    w.array_header(meta.argv.size());
    for (const auto& arg : meta.argv) {
        w.str(arg);
    }
    w.str_pair("current_commit_sha",
               meta.commit_sha ? std::optional<std::string_view>(*meta.commit_sha) : std::nullopt);
    w.str("frames");
    w.map_header(taken.frames.size());
    // In the order of thread ids: the same records make the same bytes, however the
    // threads' lists were put together.
    std::vector<std::pair<size_t, const RecordList*>> threads;
    threads.reserve(taken.frames.size());
    for (const auto& [thread_id, records] : taken.frames) {
        threads.emplace_back(thread_id, &records);
    }
    std::sort(threads.begin(), threads.end());
    for (const auto& [thread_id, records] : threads) {
        w.uint(thread_id);
        w.array_header(records->count());
        write_records(w, sink, *records, 0);
    }
    w.str("frames_of_interest");
    const RecordList& list = taken.frames_of_interest;
    const Opening& opening = taken.opening;
    const std::string& left_out = taken.left_out_note;
    if (meta.dropped == 0 && !opening.aside && left_out.empty()) {
        w.array_header(list.count());
        write_records(w, sink, list, 0);
    } else {
        // The opening marker first (from the list or kept aside), then the notes of what
        // was dropped and of the calls left out, then the records.
        w.array_header(list.count() + (meta.dropped != 0) + opening.aside + !left_out.empty());
        size_t skip = 0;
        if (opening.aside || opening.in_list) {
            w.raw(opening.record);
            skip = opening.in_list ? opening.record.size() : 0;
        }
        if (meta.dropped != 0) {
            write_dropped_note(w, meta);
        }
        if (!left_out.empty()) {
            w.raw(left_out);
        }
        write_records(w, sink, list, skip);
    }
    write_tail(sink, meta);
}

// What storage needs to describe a trace without reading its records: the first records
// of "frames_of_interest" (a test's start marker, a note of dropped records) and its last
// (a test's end marker), as bytes.
Ref edge_records(const DocumentMeta& meta, const TakenFrames& taken) {
    std::vector<std::string> edges;
    if (taken.opening.aside) {
        edges.push_back(taken.opening.record);
    }
    if (meta.dropped != 0) {
        Buffer note;
        BufferSink sink{&note};
        MsgpackWriter<BufferSink> w(sink);
        write_dropped_note(w, meta);
        edges.emplace_back(note.view());
    }
    const RecordList& list = taken.frames_of_interest;
    list.for_first(2, [&](std::string_view record) { edges.emplace_back(record); });
    if (list.count() > 2) {
        edges.emplace_back(list.last());
    }
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(edges.size())));
    for (size_t i = 0; tuple && i < edges.size(); ++i) {
        PyObject* item = PyBytes_FromStringAndSize(edges[i].data(), static_cast<Py_ssize_t>(edges[i].size()));
        if (item == nullptr) {
            return {};
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple;
}

Ref text(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// An attribute of a module, by an interned name made once (module_attr makes the name's
// str at each call, and a test suite reads these at every test's save).
Ref attr_of(PyObject* module_name, PyObject*& key, const char* attr) {
    if (key == nullptr && (key = PyUnicode_InternFromString(attr)) == nullptr) {
        return {};
    }
    Ref mod = import_module(module_name);
    Ref value = mod ? Ref::steal(PyObject_GetAttr(mod.get(), key)) : Ref();
    if (!value && mod && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return module_attr(module_name, attr);  // (its wait for a module still being imported)
    }
    return value;
}

// The document's entries read from Python, kept with the objects they were read from: a
// test suite reads them at every test's save and they seldom change. The same objects
// (sys.argv's items compared one by one, a list being mutable) give the same texts.
// A text read from a module attribute, converted again only when another object holds it.
struct KeptText {
    Ref obj;
    std::optional<std::string> text;  // (none for None, where that is allowed)
};

struct PythonMeta {
    KeptText version;
    KeptText commit_sha;
    Ref argv_obj;
    std::vector<Ref> argv_items;  // (held: an item freed could leave its address to another)
    std::vector<std::string> argv;
};

bool read_text(PyObject* module_name, PyObject*& key, const char* attr, bool none_allowed, KeptText& known) {
    Ref value = attr_of(module_name, key, attr);
    if (!value) {
        return false;
    }
    if (value.get() != known.obj.get()) {
        std::optional<std::string> text;
        if (!none_allowed || value.get() != Py_None) {
            std::string_view view;
            if (!utf8_view(value.get(), view)) {
                return false;
            }
            text.emplace(view);
        }
        known.text = std::move(text);
        known.obj = std::move(value);
    }
    return true;
}

bool same_argv(const PythonMeta& known, PyObject* argv) {
    if (argv != known.argv_obj.get() || !PyList_CheckExact(argv) ||
        static_cast<size_t>(PyList_GET_SIZE(argv)) != known.argv_items.size()) {
        return false;
    }
    for (size_t i = 0; i < known.argv_items.size(); ++i) {
        if (PyList_GET_ITEM(argv, static_cast<Py_ssize_t>(i)) != known.argv_items[i].get()) {
            return false;
        }
    }
    return true;
}

bool read_argv(PythonMeta& known) {
    static PyObject* key = nullptr;
    Ref argv = attr_of(names().mod_sys, key, "argv");
    if (!argv) {
        return false;
    }
    if (same_argv(known, argv.get())) {
        return true;
    }
    std::vector<std::string> texts;
    if (!to_str_list(argv.get(), texts)) {
        return false;
    }
    known.argv = std::move(texts);
    known.argv_items.clear();
    known.argv_obj = Ref();
    if (PyList_CheckExact(argv.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(argv.get()); ++i) {
            known.argv_items.push_back(Ref::borrow(PyList_GET_ITEM(argv.get(), i)));
        }
        known.argv_obj = std::move(argv);
    }
    return true;
}

}  // namespace

bool read_document_meta(const SarvProfiler& p, DocumentMeta& meta) {
    static PythonMeta* known = new PythonMeta();  // (never freed: it holds references past finalization)
    static PyObject* version_key = nullptr;       // (the interpreter lock guards these statics)
    static PyObject* sha_key = nullptr;
    const Names& n = names();
    if (!read_text(n.mod_sarv_version, version_key, "__version__", false, known->version) ||
        !read_text(n.mod_sarv_git, sha_key, "COMMIT_SHA", true, known->commit_sha) || !read_argv(*known)) {
        return false;
    }
    meta.version = *known->version.text;
    meta.commit_sha = known->commit_sha.text;
    meta.argv = known->argv;
    meta.source = p.config.source;
    meta.created = p.buffers.created;
    meta.main_thread_id = p.config.main_thread_id;
    meta.max_records = p.config.max_records;
    meta.max_bytes = p.config.max_bytes;
    meta.keep_latest = p.config.keep_latest;
    return true;
}

namespace {

// Where the entries after the records begin, in a document of `size` bytes.
size_t tail_offset(const DocumentMeta& meta, size_t size) {
    CountingSink tail;
    write_tail(tail, meta);
    return size - tail.size;
}

size_t record_count(const TakenFrames& taken) {
    size_t count =
        taken.frames_of_interest.count() + (taken.dropped != 0) + taken.opening.aside + !taken.left_out_note.empty();
    for (const auto& [thread_id, list] : taken.frames) {
        count += list.count();
    }
    return count;
}

// Whether the storage function takes the document in pieces (it says so with a true
// attribute "streaming_document"); any other function receives bytes.
bool takes_pieces(PyObject* save) {
    static PyObject* key = nullptr;
    if (key == nullptr && (key = PyUnicode_InternFromString("streaming_document")) == nullptr) {
        PyErr_Clear();
        return false;
    }
    Ref flag = Ref::steal(PyObject_GetAttr(save, key));
    if (!flag) {
        PyErr_Clear();
        return false;
    }
    int truth = PyObject_IsTrue(flag.get());
    if (truth < 0) {
        PyErr_Clear();
        return false;
    }
    return truth == 1;
}

}  // namespace

Ref document_bytes(const DocumentMeta& meta, const TakenFrames& taken) {
    CountingSink counter;
    write_document(counter, meta, taken);
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(counter.size)));
    if (!bytes) {
        return {};
    }
    char* room = PyBytes_AS_STRING(bytes.get());
    BoundedSink sink{room, room + counter.size};
    try {
        write_document(sink, meta, taken);
    } catch (const SpoolReadError& e) {
        errno = e.error;
        PyErr_SetFromErrno(PyExc_OSError);  // (records read back from the spool)
        return {};
    }
    sink.finish();
    return bytes;
}

Ref SarvProfiler::build_trace() { return build_document(false); }

Ref SarvProfiler::build_described_trace() { return build_document(true); }

Ref SarvProfiler::build_document(bool described) {
    DocumentMeta meta{};
    if (!read_document_meta(*this, meta)) {
        return {};
    }
    {
        std::lock_guard<std::mutex> guard(buffers.trace_id_mutex);
        meta.trace_id = buffers.trace_id;
    }
    // From here on no Python code runs: the document is written straight into its bytes.
    TakenFrames taken;
    buffers.take(taken);
    meta.dropped = taken.dropped;
    Ref result = document_bytes(meta, taken);
    if (result && described) {
        Ref count = Ref::steal(PyLong_FromSize_t(record_count(taken)));
        Ref tail =
            Ref::steal(PyLong_FromSize_t(tail_offset(meta, static_cast<size_t>(PyBytes_GET_SIZE(result.get())))));
        Ref edges = edge_records(meta, taken);
        result = count && tail && edges
                     ? Ref::steal(PyTuple_Pack(4, result.get(), count.get(), tail.get(), edges.get()))
                     : Ref();
    }
    if (!result) {
        buffers.restore(std::move(taken));
    }
    trace_taken();
    return result;
}

namespace {

// What a save hands to storage in pieces: the records taken for it and the document's
// parts, which refer to them (and to long texts of the meta) instead of copying.
struct SavedDocument {
    DocumentMeta meta{};
    TakenFrames taken;
    DocumentParts parts;
};

TakenFrames copy_of(const TakenFrames& taken) {
    TakenFrames copy;
    copy.frames_of_interest = taken.frames_of_interest.copy();
    for (const auto& [thread_id, list] : taken.frames) {
        copy.frames.emplace(thread_id, list.copy());
    }
    copy.dropped = taken.dropped;
    copy.opening = taken.opening;
    copy.left_out_note = taken.left_out_note;
    return copy;
}

// The keywords of the storage function's call, made once: a test suite saves once a test.
// Null with an error set if it cannot be made (and made at the next save).
PyObject* save_keywords() {
    static PyObject* names = nullptr;  // (kept for the process; the interpreter lock guards it)
    if (names == nullptr) {
        Ref timeout = Ref::steal(PyUnicode_InternFromString("timeout"));
        Ref msgpack = Ref::steal(PyUnicode_InternFromString("msgpack"));
        names = timeout && msgpack ? PyTuple_Pack(2, timeout.get(), msgpack.get()) : nullptr;
    }
    return names;
}

}  // namespace

bool SarvProfiler::save_in_db() {
    PyObject* keywords = save_keywords();
    Ref timeout_obj = Ref::steal(PyLong_FromSize_t(config.timeout));
    if (keywords == nullptr || !timeout_obj) {
        return false;
    }
    auto saved = std::make_shared<SavedDocument>();
    DocumentMeta& meta = saved->meta;
    if (!read_document_meta(*this, meta)) {
        return false;
    }
    static PyObject* save_key = nullptr;
    Ref save = attr_of(names().mod_sarv_db, save_key, "save_trace_in_sqlite");
    if (!save) {
        return false;
    }
    bool in_pieces = takes_pieces(save.get());
    Ref path_obj = text(config.db_path);
    if (!path_obj) {
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(buffers.trace_id_mutex);
        meta.trace_id = buffers.trace_id;
    }
    Ref id_obj = text(meta.trace_id);
    if (!id_obj) {
        return false;
    }
    TakenFrames& taken = saved->taken;
    // Until storage has the records, the spool keeps them as they were: a process killed
    // during the save leaves them there.
    SpoolHold hold(*this);
    buffers.take(taken);
    trace_taken();
    uint64_t taken_generation;
    {
        std::lock_guard<std::mutex> guard(buffers.frames_of_interest_mutex);
        taken_generation = buffers.buffers_generation;
    }
    meta.dropped = taken.dropped;
    // The records stay where they are until storage has them: in pieces, the document
    // refers to them instead of copying, and a failed save can still put them back.
    Ref document;
    if (in_pieces) {
        write_document(saved->parts, meta, taken);
        Ref edges = edge_records(meta, taken);
        document = edges ? new_document_pieces(saved, &saved->parts, record_count(taken),
                                               tail_offset(meta, saved->parts.size()), std::move(edges))
                         : Ref();
    } else {
        document = document_bytes(meta, taken);
    }
    Ref result;
    if (document) {
        PyObject* args[] = {path_obj.get(), id_obj.get(), timeout_obj.get(), document.get()};
        result = Ref::steal(PyObject_Vectorcall(save.get(), args, 2, keywords));
    }
    if (result) {
        // Storage has the records (perhaps still on their way to the disk): the spool that
        // holds them is set aside until they are there.
        std::lock_guard<std::mutex> guard(buffers.frames_of_interest_mutex);
        if (spool) {
            if (saves_since_flush.size() >= 1024) {
                saves_since_flush.erase(saves_since_flush.begin());  // (a spool stopped by a failed write)
            }
            saves_since_flush.emplace_back(meta.trace_id, taken_generation);
        }
        return true;
    }
    // A failed save must not lose the trace: the records go back in front of whatever was
    // recorded meanwhile, unless a new test has started a new trace in between.
    bool same_trace;
    {
        std::lock_guard<std::mutex> guard(buffers.trace_id_mutex);
        same_trace = buffers.trace_id == meta.trace_id;
    }
    if (same_trace) {
        FetchedError failure;
        document.reset();
        // Pieces the storage function kept still read the taken records: those stay
        // theirs, and a copy goes back.
        buffers.restore(saved.use_count() == 1 ? std::move(taken) : copy_of(taken));
    }
    return false;
}

}  // namespace sarv
