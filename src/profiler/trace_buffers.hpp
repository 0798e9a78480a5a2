// The records of the trace being recorded: the lists they are kept in (the main thread's,
// and with "threading" one per other thread), the caps over them, and what the document
// reports of them (the records dropped, the opening marker, the note of calls left out).
#pragma once

#include "common.hpp"
#include "plugins/plugins.hpp"
#include "profiler/config.hpp"
#include "profiler/record_list.hpp"

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sarv {

using FrameList = std::vector<std::string>;  // the records of one batch
using ThreadFrames = std::unordered_map<size_t, RecordList>;

// A serial for a new trace, never given before in the process.
uint64_t new_trace_serial();

// A trace's opening marker (a test's or a request's start): `in_list` while it is the
// first record of frames_of_interest, `aside` once "ring" has dropped it from there. The
// document writes it first either way.
struct Opening {
    std::string record;
    bool in_list = false;
    bool aside = false;
};

// Records taken out of the buffers for one document; put back in front if saving fails.
struct TakenFrames {
    RecordList frames_of_interest;
    ThreadFrames frames;
    size_t dropped = 0;  // records the caps dropped from this trace
    Opening opening;  // as the profiler held it
    std::string left_out_note;  // the record of the calls left out, encoded (empty: none were)
    std::vector<Ref> left_out_codes;  // kept alive until the note is written
};

// The state is read under its locks by the spool's flush and the request hooks as well.
// Lock order wherever several are held: trace_id_mutex, frames_of_interest_mutex, frames_mutex.
class TraceBuffers {
public:
    explicit TraceBuffers(const ProfilerConfig& config);

    // One record of the thread (native id): the bytes its list then holds in memory (0
    // when the caps refused it).
    size_t push(size_t thread_id, std::string_view record);
    // Moves the batch's records[begin, end) into the list chosen for the thread.
    void push_range(size_t thread_id, const Batch& batch, size_t begin, size_t end);
    // A new trace (a test's start): the new id, the buffers emptied, the caps and the
    // call budget's counts started afresh.
    void start_trace(std::string_view id);
    // The same for a request's profiler kept for the next request, and its start time.
    void restart(std::string_view id, double now);
    // Takes every record out for a document (a new trace begins), or puts them back in
    // front of those recorded meanwhile when the document could not be made or saved.
    void take(TakenFrames& taken);
    void restore(TakenFrames&& taken);
    // The note of the calls left out of the trace now ending (under frames_of_interest_mutex).
    void take_left_out(TakenFrames& taken);
    // A code object with calls left out of this trace: its note will name it.
    void note_left_out(PyCodeObject* code);
    // A record the trace does not keep (recording ended), counted as dropped by the cap.
    void count_dropped();

    // When the current trace began (the document's "timestamp").
    double created = 0;
    // The current trace's serial (never reused): the CallCounts of code objects are of it.
    std::atomic<uint64_t> trace_serial{0};
    // "stop" has refused a record: the rest of the trace is left out like calls past the
    // budget, at the cost of code not recorded. Reset with the caps.
    std::atomic<bool> ended{false};
    // Calls left out since then: each would have made a call and a return record, which
    // the trace counts as dropped by the cap.
    uint64_t calls_after_end = 0;

    std::mutex trace_id_mutex;
    std::string trace_id;
    std::mutex frames_of_interest_mutex;
    RecordList frames_of_interest;
    std::mutex frames_mutex;
    ThreadFrames frames;
    // Records dropped for the caps since the buffers were last taken, and whether "stop"
    // has refused one (nothing after it is kept); under frames_of_interest_mutex.
    // `cap_reported`: the warning was given.
    size_t dropped = 0;
    bool stopped = false;
    Opening opening;  // under frames_of_interest_mutex
    // Code objects with calls left out of the current trace (kept alive for its note);
    // under frames_of_interest_mutex.
    std::vector<Ref> left_out_codes;
    std::string restored_left_out;  // the note of a document that could not be saved
    std::atomic<bool> cap_reported{false};
    // Changes whenever the buffers are taken, put back or emptied (under
    // frames_of_interest_mutex): what the spool copied of them no longer holds.
    uint64_t buffers_generation = 0;

private:
    // With a cap: how many of `incoming` records (sizes `size_of(i)`, oldest first) may be
    // stored, the first ones ("stop") or the newest ones ("ring", which drops the oldest
    // held records to make room). Called with frames_of_interest_mutex and frames_mutex held.
    enum class Cap { None, Records, Bytes };  // the cap reached
    template <class SizeOf>
    size_t make_room(size_t incoming, const SizeOf& size_of, Cap& reached);
    void report_cap(Cap reached);
    // Forgets what the caps did: for a new trace, under frames_of_interest_mutex.
    void reset_caps();
    // A new trace with the three locks held; the codes named by the old trace's note are
    // handed out, to be released after the locks.
    void renew(std::string_view id, std::vector<Ref>& left_out_before);
    bool own_list(size_t thread_id) const { return config_.threading && thread_id != config_.main_thread_id; }

    const ProfilerConfig& config_;
};

}  // namespace sarv
