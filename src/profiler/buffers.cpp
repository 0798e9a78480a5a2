// Frame buffers, test boundaries, the trace document and saving.
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

bool read_text_attr(PyObject* module_name, const char* attr, std::string& out) {
    Ref value = module_attr(module_name, attr);
    std::string_view text;
    if (!value || !utf8_view(value.get(), text)) {
        return false;
    }
    out.assign(text);
    return true;
}

Ref text(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

}  // namespace

namespace {

// A trace's boundary markers: never refused nor dropped by the caps (storage and the
// summaries read a trace's test or request from them).
bool is_boundary(std::string_view type) {
    return type == "start_test" || type == "end_test" || type == "start_request" || type == "end_request";
}

bool is_opening(std::string_view type) { return type == "start_test" || type == "start_request"; }

}  // namespace

template <class SizeOf>
size_t SarvProfiler::make_room(size_t incoming, const SizeOf& size_of, Cap& reached) {
    size_t held = frames_of_interest.count();
    size_t held_bytes = frames_of_interest.bytes();
    for (const auto& [id, list] : frames) {
        held += list.count();
        held_bytes += list.bytes();
    }
    size_t incoming_bytes = 0;
    for (size_t i = 0; i < incoming; ++i) {
        incoming_bytes += size_of(i);
    }
    const size_t most = config.max_records != 0 ? config.max_records : SIZE_MAX;
    const size_t most_bytes = config.max_bytes != 0 ? config.max_bytes : SIZE_MAX;
    if (!stopped && held + incoming <= most && held_bytes + incoming_bytes <= most_bytes) {
        return incoming;
    }
    reached = held + incoming > most ? Cap::Records : Cap::Bytes;
    if (!config.keep_latest) {
        // The first records that fit; once one does not, nothing after it is kept either.
        size_t kept = 0;
        for (; !stopped && kept < incoming; ++kept) {
            size_t size = size_of(kept);
            if (held + 1 > most || held_bytes + size > most_bytes) {
                stopped = true;
                // The rest of the trace is left out at the cost of code not recorded,
                // not encoded and then refused event after event.
                ended.store(true, std::memory_order_relaxed);
                break;
            }
            ++held;
            held_bytes += size;
        }
        dropped += incoming - kept;
        return kept;
    }
    // The incoming records are the newest: those that fit the caps on their own are kept,
    // and room is made by dropping the oldest records of the largest list (with one thread,
    // the oldest of all; with several, the thread that recorded most gives way first).
    size_t kept = 0;
    size_t kept_bytes = 0;
    for (; kept < incoming; ++kept) {
        size_t size = size_of(incoming - 1 - kept);
        if (kept + 1 > most || kept_bytes + size > most_bytes) {
            break;
        }
        kept_bytes += size;
    }
    dropped += incoming - kept;
    while (held + kept > most || held_bytes + kept_bytes > most_bytes) {
        bool by_bytes = held_bytes + kept_bytes > most_bytes;
        RecordList* largest = &frames_of_interest;
        for (auto& [id, list] : frames) {
            if (by_bytes ? list.bytes() > largest->bytes() : list.count() > largest->count()) {
                largest = &list;
            }
        }
        size_t bytes_before = largest->bytes();
        size_t n = by_bytes ? largest->drop_front_bytes(held_bytes + kept_bytes - most_bytes)
                            : largest->drop_front(std::min(held + kept - most, largest->count()));
        if (n == 0) {
            break;
        }
        held -= n;
        held_bytes -= bytes_before - largest->bytes();
        if (largest == &frames_of_interest && opening.in_list) {
            // The opening marker is kept aside and still written first.
            opening.in_list = false;
            opening.aside = true;
            --n;
        }
        dropped += n;
    }
    return kept;
}

void SarvProfiler::reset_caps() {
    dropped = 0;
    stopped = false;
    opening = {};
    ended.store(false, std::memory_order_relaxed);
    calls_after_end = 0;
    trace_serial.store(new_trace_serial(), std::memory_order_relaxed);  // every function's budget anew
}

void SarvProfiler::report_cap(Cap cap) {
    if (cap == Cap::None || cap_reported.exchange(true)) {
        return;
    }
    // Said once, on the logger of sarv's warnings (standard error unless the program
    // configured logging), once the hook is left; each trace says how many of its records
    // were dropped.
    std::string message;
    if (cap == Cap::Records) {
        message =
            "sarv: max_records (" + std::to_string(config.max_records) + ") reached: " +
            (config.keep_latest ? "only the most recent " + std::to_string(config.max_records) + " records are kept"
                                : std::string("no more records are kept"));
    } else {
        message = "sarv: max_bytes (" + std::to_string(config.max_bytes) + ") reached: " +
                  (config.keep_latest ? "only the most recent records, " + std::to_string(config.max_bytes) +
                                            " bytes at most, are kept"
                                      : std::string("no more records are kept"));
    }
    queue_warning(std::move(message));  // (said outside the hook: see reports.hpp)
}

void SarvProfiler::push_record(size_t thread_id, std::string_view record) {
    size_t held = 0;  // the bytes of the list's records in memory
    if (config.max_records != 0 || config.max_bytes != 0) {
        // Room made and the record stored under the same locks: one pass for the usual
        // record of an event.
        Cap reached = Cap::None;
        {
            std::lock_guard<std::mutex> a(frames_of_interest_mutex);
            std::lock_guard<std::mutex> b(frames_mutex);
            if (make_room(1, [&](size_t) { return record.size(); }, reached) == 1) {
                RecordList& list =
                    config.threading && thread_id != config.main_thread_id ? frames[thread_id] : frames_of_interest;
                list.push(record);
                held = list.memory_bytes();
            }
        }
        report_cap(reached);
    } else if (config.threading && thread_id != config.main_thread_id) {
        std::lock_guard<std::mutex> guard(frames_mutex);
        RecordList& list = frames[thread_id];
        list.push(record);
        held = list.memory_bytes();
    } else {
        std::lock_guard<std::mutex> guard(frames_of_interest_mutex);
        frames_of_interest.push(record);
        held = frames_of_interest.memory_bytes();
    }
    if (held > spool_wait_at.load(std::memory_order_relaxed)) [[unlikely]] {
        spool_catch_up();  // (spool.cpp: the flushes fell behind; memory stays bounded)
    }
}

void SarvProfiler::push_frame_range(size_t thread_id, const Batch& batch, size_t begin, size_t end) {
    const FrameList& records = batch.records;
    bool own_list = config.threading && thread_id != config.main_thread_id;
    while (true) {
        // A run of ordinary records, within the caps, then a boundary marker, as it is.
        size_t marker = begin;
        while (marker < end && !is_boundary(batch.types[marker])) {
            ++marker;
        }
        size_t from = begin;
        size_t to = marker;
        // Under "ring" the marker counts too: room is made for it (under "stop" it only
        // passes the cap by its own few bytes).
        size_t capped_end = config.keep_latest && marker < end ? marker + 1 : marker;
        if ((config.max_records != 0 || config.max_bytes != 0) && capped_end > from) {
            Cap reached = Cap::None;
            size_t kept;
            {
                std::lock_guard<std::mutex> a(frames_of_interest_mutex);
                std::lock_guard<std::mutex> b(frames_mutex);
                kept = make_room(capped_end - from, [&](size_t i) { return records[from + i].size(); }, reached);
            }
            report_cap(reached);
            kept -= capped_end != marker && kept > 0;  // the marker, stored whatever the caps say
            if (kept < to - from) {
                // "ring" keeps the newest of the run, "stop" the first.
                if (config.keep_latest) {
                    from = to - kept;
                } else {
                    to = from + kept;
                }
            }
        }
        if (own_list) {
            std::lock_guard<std::mutex> guard(frames_mutex);
            RecordList& list = frames[thread_id];  // made even when empty: the thread shows in the document
            for (size_t i = from; i < to; ++i) {
                list.push(records[i]);
            }
            if (marker < end) {
                list.push(records[marker]);
            }
        } else {
            std::lock_guard<std::mutex> guard(frames_of_interest_mutex);
            for (size_t i = from; i < to; ++i) {
                frames_of_interest.push(records[i]);
            }
            if (marker < end) {
                if (frames_of_interest.empty() && !opening.aside && is_opening(batch.types[marker])) {
                    opening.record.assign(records[marker]);
                    opening.in_list = true;
                }
                frames_of_interest.push(records[marker]);
            }
        }
        if (marker >= end) {
            return;
        }
        begin = marker + 1;
    }
}

bool SarvProfiler::push_frames(Event event, Batch& batch) {
    if (batch.empty()) {
        return true;
    }
    if (event == Event::Return) {
        std::reverse(batch.records.begin(), batch.records.end());
        std::reverse(batch.types.begin(), batch.types.end());
    }
    ThreadState& ts = thread_state();
    if (!ensure_thread_info(ts)) {
        return false;
    }
    size_t thread_id = ts.thread_info->native_id;
    auto& records = batch.records;
    // Records before `consumed` have been stored or discarded by a boundary. Each boundary
    // takes records up to its own position only, so a second boundary in one batch never
    // takes more than remain.
    size_t consumed = 0;
    if (config.one_trace_per_test) {
        for (size_t i = 0; i < batch.types.size(); ++i) {
            const std::string& type = batch.types[i];
            if (type == "end_test") {
                push_frame_range(thread_id, batch, consumed, i + 1);
                consumed = i + 1;
                if (!save_in_db()) {
                    return false;
                }
            } else if (type == "start_test") {
                consumed = i;
                PrefixedId id = new_trace_id();
                std::vector<Ref> left_out_before;  // released after the locks
                std::lock_guard<std::mutex> a(trace_id_mutex);
                std::lock_guard<std::mutex> b(frames_of_interest_mutex);
                std::lock_guard<std::mutex> c(frames_mutex);
                trace_id.assign(id.view());
                frames_of_interest.clear();
                frames.clear();
                ++buffers_generation;
                left_out_before = std::exchange(left_out_codes, {});
                restored_left_out.clear();
                reset_caps();
            }
        }
    }
    push_frame_range(thread_id, batch, consumed, records.size());
    batch.records.clear();
    batch.types.clear();
    return true;
}

void SarvProfiler::take_frames(TakenFrames& taken) {
    std::lock_guard<std::mutex> a(frames_of_interest_mutex);
    std::lock_guard<std::mutex> b(frames_mutex);
    taken.frames_of_interest = std::exchange(frames_of_interest, {});
    taken.frames = std::exchange(frames, {});
    ++buffers_generation;
    taken.dropped = dropped + 2 * calls_after_end;
    taken.opening = std::move(opening);
    take_left_out(taken);
    reset_caps();
}

void SarvProfiler::restore_frames(TakenFrames&& taken) {
    std::lock_guard<std::mutex> a(frames_of_interest_mutex);
    std::lock_guard<std::mutex> b(frames_mutex);
    // The taken records are the older ones: their opening marker is the trace's.
    if (taken.opening.in_list || taken.opening.aside || !taken.frames_of_interest.empty()) {
        opening = std::move(taken.opening);
    }
    frames_of_interest.prepend(std::move(taken.frames_of_interest));
    ++buffers_generation;
    dropped += taken.dropped;
    if (!taken.left_out_note.empty()) {
        restored_left_out = std::move(taken.left_out_note);  // written again by the next document
    }
    for (auto& [thread_id, list] : taken.frames) {
        frames[thread_id].prepend(std::move(list));
    }
}

bool read_document_meta(const SarvProfiler& p, DocumentMeta& meta) {
    const Names& n = names();
    if (!read_text_attr(n.mod_sarv_version, "__version__", meta.version)) {
        return false;
    }
    Ref sha = module_attr(n.mod_sarv_git, "COMMIT_SHA");
    if (!sha) {
        return false;
    }
    if (sha.get() != Py_None) {
        std::string_view view;
        if (!utf8_view(sha.get(), view)) {
            return false;
        }
        meta.commit_sha.emplace(view);
    }
    Ref argv = module_attr(n.mod_sys, "argv");
    if (!argv || !to_str_list(argv.get(), meta.argv)) {
        return false;
    }
    meta.source = p.config.source;
    meta.created = p.created;
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
    Ref flag = Ref::steal(PyObject_GetAttrString(save, "streaming_document"));
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

Ref SarvProfiler::document_bytes(const DocumentMeta& meta, TakenFrames& taken) {
    return sarv::document_bytes(meta, taken);
}

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
        std::lock_guard<std::mutex> guard(trace_id_mutex);
        meta.trace_id = trace_id;
    }
    // From here on no Python code runs: the document is written straight into its bytes.
    TakenFrames taken;
    take_frames(taken);
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
        restore_frames(std::move(taken));
    }
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

}  // namespace

bool SarvProfiler::save_in_db() {
    Ref kwargs = Ref::steal(PyDict_New());
    Ref timeout_obj = Ref::steal(PyLong_FromSize_t(config.timeout));
    if (!kwargs || !timeout_obj || PyDict_SetItemString(kwargs.get(), "timeout", timeout_obj.get()) < 0) {
        return false;
    }
    auto saved = std::make_shared<SavedDocument>();
    DocumentMeta& meta = saved->meta;
    if (!read_document_meta(*this, meta)) {
        return false;
    }
    Ref save = module_attr(names().mod_sarv_db, "save_trace_in_sqlite");
    if (!save) {
        return false;
    }
    bool in_pieces = takes_pieces(save.get());
    Ref path_obj = text(config.db_path);
    if (!path_obj) {
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(trace_id_mutex);
        meta.trace_id = trace_id;
    }
    Ref id_obj = text(meta.trace_id);
    if (!id_obj) {
        return false;
    }
    TakenFrames& taken = saved->taken;
    // Until storage has the records, the spool keeps them as they were: a process killed
    // during the save leaves them there.
    SpoolHold hold(*this);
    take_frames(taken);
    uint64_t taken_generation;
    {
        std::lock_guard<std::mutex> guard(frames_of_interest_mutex);
        taken_generation = buffers_generation;
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
    Ref args = document && PyDict_SetItemString(kwargs.get(), "msgpack", document.get()) == 0
                   ? Ref::steal(PyTuple_Pack(2, path_obj.get(), id_obj.get()))
                   : Ref();
    Ref result = args ? Ref::steal(PyObject_Call(save.get(), args.get(), kwargs.get())) : Ref();
    if (result) {
        // Storage has the records (perhaps still on their way to the disk): the spool that
        // holds them is set aside until they are there.
        std::lock_guard<std::mutex> guard(frames_of_interest_mutex);
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
        std::lock_guard<std::mutex> guard(trace_id_mutex);
        same_trace = trace_id == meta.trace_id;
    }
    if (same_trace) {
        FetchedError failure;
        kwargs.reset();  // (holds the document too)
        document.reset();
        // Pieces the storage function kept still read the taken records: those stay
        // theirs, and a copy goes back.
        restore_frames(saved.use_count() == 1 ? std::move(taken) : copy_of(taken));
    }
    return false;
}

}  // namespace sarv
