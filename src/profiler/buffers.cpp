// The frame buffers: records pushed as events make them, within the caps, the test
// boundaries' new traces, and the records taken out for a document.
#include "profiler/profiler.hpp"
#include "profiler/reports.hpp"

#include <algorithm>
#include <iterator>

namespace sarv {

namespace {

// A trace's boundary markers: never refused nor dropped by the caps (storage and the
// summaries read a trace's test or request from them).
bool is_boundary(std::string_view type) {
    return type == "start_test" || type == "end_test" || type == "start_request" || type == "end_request";
}

bool is_opening(std::string_view type) { return type == "start_test" || type == "start_request"; }

}  // namespace

TraceBuffers::TraceBuffers(const ProfilerConfig& config) : config_(config) {
    trace_serial.store(new_trace_serial(), std::memory_order_relaxed);
}

void TraceBuffers::note_left_out(PyCodeObject* code) {
    std::lock_guard<std::mutex> guard(frames_of_interest_mutex);
    left_out_codes.push_back(Ref::borrow(reinterpret_cast<PyObject*>(code)));
}

void TraceBuffers::count_dropped() {
    std::lock_guard<std::mutex> guard(frames_of_interest_mutex);
    ++dropped;
}

template <class SizeOf>
size_t TraceBuffers::make_room(size_t incoming, const SizeOf& size_of, Cap& reached) {
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
    const size_t most = config_.max_records != 0 ? config_.max_records : SIZE_MAX;
    const size_t most_bytes = config_.max_bytes != 0 ? config_.max_bytes : SIZE_MAX;
    if (!stopped && held + incoming <= most && held_bytes + incoming_bytes <= most_bytes) {
        return incoming;
    }
    reached = held + incoming > most ? Cap::Records : Cap::Bytes;
    if (!config_.keep_latest) {
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

void TraceBuffers::reset_caps() {
    dropped = 0;
    stopped = false;
    opening = {};
    ended.store(false, std::memory_order_relaxed);
    calls_after_end = 0;
    trace_serial.store(new_trace_serial(), std::memory_order_relaxed);  // every function's budget anew
}

void TraceBuffers::report_cap(Cap cap) {
    if (cap == Cap::None || cap_reported.exchange(true)) {
        return;
    }
    // Said once, on the logger of sarv's warnings (standard error unless the program
    // configured logging), once the hook is left; each trace says how many of its records
    // were dropped.
    std::string message;
    if (cap == Cap::Records) {
        message =
            "sarv: max_records (" + std::to_string(config_.max_records) + ") reached: " +
            (config_.keep_latest ? "only the most recent " + std::to_string(config_.max_records) + " records are kept"
                                 : std::string("no more records are kept"));
    } else {
        message = "sarv: max_bytes (" + std::to_string(config_.max_bytes) + ") reached: " +
                  (config_.keep_latest ? "only the most recent records, " + std::to_string(config_.max_bytes) +
                                             " bytes at most, are kept"
                                       : std::string("no more records are kept"));
    }
    queue_warning(std::move(message));  // (said outside the hook: see reports.hpp)
}

size_t TraceBuffers::push(size_t thread_id, std::string_view record) {
    size_t held = 0;  // the bytes of the list's records in memory
    if (config_.max_records != 0 || config_.max_bytes != 0) {
        // Room made and the record stored under the same locks: one pass for the usual
        // record of an event.
        Cap reached = Cap::None;
        {
            std::lock_guard<std::mutex> a(frames_of_interest_mutex);
            std::lock_guard<std::mutex> b(frames_mutex);
            if (make_room(1, [&](size_t) { return record.size(); }, reached) == 1) {
                RecordList& list = own_list(thread_id) ? frames[thread_id] : frames_of_interest;
                list.push(record);
                held = list.memory_bytes();
            }
        }
        report_cap(reached);
    } else if (own_list(thread_id)) {
        std::lock_guard<std::mutex> guard(frames_mutex);
        RecordList& list = frames[thread_id];
        list.push(record);
        held = list.memory_bytes();
    } else {
        std::lock_guard<std::mutex> guard(frames_of_interest_mutex);
        frames_of_interest.push(record);
        held = frames_of_interest.memory_bytes();
    }
    return held;
}

void SarvProfiler::push_record(size_t thread_id, std::string_view record) {
    if (buffers.push(thread_id, record) > spool_wait_at.load(std::memory_order_relaxed)) [[unlikely]] {
        spool_catch_up();  // (spool.cpp: the flushes fell behind; memory stays bounded)
    }
}

void TraceBuffers::push_range(size_t thread_id, const Batch& batch, size_t begin, size_t end) {
    const FrameList& records = batch.records;
    const bool own = own_list(thread_id);
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
        size_t capped_end = config_.keep_latest && marker < end ? marker + 1 : marker;
        if ((config_.max_records != 0 || config_.max_bytes != 0) && capped_end > from) {
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
                if (config_.keep_latest) {
                    from = to - kept;
                } else {
                    to = from + kept;
                }
            }
        }
        if (own) {
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
                buffers.push_range(thread_id, batch, consumed, i + 1);
                consumed = i + 1;
                if (!save_in_db()) {
                    return false;
                }
            } else if (type == "start_test") {
                consumed = i;
                buffers.start_trace(new_trace_id().view());
            }
        }
    }
    buffers.push_range(thread_id, batch, consumed, records.size());
    batch.records.clear();
    batch.types.clear();
    return true;
}

void TraceBuffers::start_trace(std::string_view id) {
    std::vector<Ref> left_out_before;  // released after the locks
    std::lock_guard<std::mutex> a(trace_id_mutex);
    std::lock_guard<std::mutex> b(frames_of_interest_mutex);
    std::lock_guard<std::mutex> c(frames_mutex);
    renew(id, left_out_before);
}

void TraceBuffers::restart(std::string_view id, double now) {
    std::vector<Ref> left_out_before;
    std::lock_guard<std::mutex> a(trace_id_mutex);
    std::lock_guard<std::mutex> b(frames_of_interest_mutex);
    std::lock_guard<std::mutex> c(frames_mutex);
    renew(id, left_out_before);
    created = now;  // the document's "timestamp": when this trace began
}

void TraceBuffers::renew(std::string_view id, std::vector<Ref>& left_out_before) {
    trace_id.assign(id);
    frames_of_interest.clear();
    frames.clear();
    ++buffers_generation;
    left_out_before = std::exchange(left_out_codes, {});
    restored_left_out.clear();
    reset_caps();
}

void TraceBuffers::take(TakenFrames& taken) {
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

void TraceBuffers::restore(TakenFrames&& taken) {
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

}  // namespace sarv
