// The spool: the records of the trace being recorded, copied to a file beside the database
// while the program runs, so that a process killed before it saves (SIGKILL, out of memory,
// a crash in C code) leaves its trace behind for the next sarv command to store.
//
// The copying is done by spool_flush(), which a thread of sarv's calls a few times a
// second: the hook does not wait for the disk, unless the flushes fall behind it (a list
// holds SPOOL_WAIT_FROM bytes they have not taken): the thread recording then flushes
// itself (spool_catch_up), so that memory stays bounded. The flush copies the records made
// since the last one under the buffers' locks (memory only), then writes them with the
// interpreter lock released. The file holds the records in their own encoding, so the trace assembled
// from it goes through the same document writer as a save.
//
// The file, `<folder>/<pid>-<trace_id>-<n>` (n counts the files of the process, so that a
// saved trace's file can be kept beside the next one of the same trace until storage has
// it on disk), starts with SPOOL_MAGIC, then frames: a kind byte,
// a 4-byte length, the payload (integers in the machine's byte order; texts as a 4-byte
// length and their bytes):
//   'H' header: trace_id, source, created (f64), main_thread_id, max_records, max_bytes,
//       keep_latest (1 byte), version, has_commit (1 byte), commit, argc (4 bytes), argv...,
//       pid (8-byte integers but where said)
//   'B' records: list (1 byte: 0 frames_of_interest, 1 a thread's), thread id, the position
//       of its first record (RecordList::first_index), the number of records (4 bytes),
//       their sizes (4 bytes each), then their bytes back to back; the list's records
//       before that position were dropped
//   'R' records (files of earlier versions): list, thread id, position, then each record
//       as a 4-byte length and its bytes
//   'D' dropped: list, thread id, position: the list's records before it were dropped
//   'S' state: records the caps dropped, the opening marker (in_list, aside: 1 byte each,
//       then the record), the note of calls left out; the last one holds
// A new file replaces the last whenever the buffers were taken or emptied, or the caps'
// drops ("ring") have left most of it behind, so that it stays near the size of what the
// buffers hold; it is removed once they hold nothing of a trace (saved or discarded).
//
// Once a trace is past SPILL_FROM, the records a flush wrote leave memory: the lists keep
// where they are in the file (RecordList::spill), and a document reads them from there.
// A file is never rewritten in place, so those records stay as written for as long as
// anything may read them (the file stays open, even once removed). Not under "ring", whose
// cap bounds its memory, nor once a write failed: the records then stay in memory.
//
// It is locked (flock) for
// as long as its process lives: a file that can be locked belongs to a process that ended
// without saving. A frame cut short (the process died while writing) is read up to its
// last whole record.
#pragma once

#include "common.hpp"
#include "encode/msgpack_write.hpp"
#include "profiler/record_list.hpp"

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sarv {

inline constexpr char SPOOL_MAGIC[8] = {'S', 'A', 'R', 'V', 'S', 'P', 'L', '1'};

// Past this many bytes of records, a trace's records leave memory once flushed.
inline constexpr size_t SPILL_FROM = size_t{8} << 20;
// Past this many bytes of records in memory in one list (once they leave memory), the
// thread recording into it writes the spool itself, however fast it records: the flushes
// of sarv's thread have fallen behind (the disk takes records slower than they are made).
inline constexpr size_t SPOOL_WAIT_FROM = size_t{32} << 20;
// The most a flush copies at once: a flush behind a fast recording writes in slices,
// giving the memory of each back before it copies the next.
inline constexpr size_t FLUSH_SLICE = size_t{8} << 20;

// What one flush writes: its bytes, with ranges of earlier files copied in between.
struct FlushOut {
    struct Copy {
        size_t at;  // where in `bytes` the copy goes
        std::shared_ptr<const SpoolFile> file;
        uint64_t offset;
        size_t size;
    };
    Buffer bytes;
    std::vector<Copy> copies;
    size_t copied = 0;  // bytes of the copies

    // Where the next byte goes, counted from the flush's first.
    size_t position() const { return bytes.size() + copied; }
    bool empty() const { return bytes.empty() && copies.empty(); }
};

class Spool {
public:
    explicit Spool(std::string folder) : folder_(std::move(folder)) {}
    ~Spool();  // closes the file and leaves it (a forked child drops its parent's this way)
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // What has been copied of one list: up to which record (and byte), the position of
    // the drops written, and the frames of the file whose records are still in memory.
    struct Mark {
        struct Frame {
            uint64_t data;  // where its records' bytes are in the file
            size_t index;   // the position of its first record
            size_t count;
            size_t bytes;
            bool placed;  // `data` is in the file (not yet: from the flush's start)
        };
        size_t index = 0;
        size_t byte = 0;
        size_t dropped_to = 0;
        bool written = false;
        std::deque<Frame> unspilled;
    };

    // Held for one whole flush (taken with the interpreter lock released).
    std::mutex mutex;
    // The trace and buffers' generation the marks are of.
    std::string trace_id;
    uint64_t generation = 0;
    Mark interest;
    std::unordered_map<size_t, Mark> threads;
    std::string state;  // the last state frame written
    Buffer scratch;     // a flush's bytes, kept for the next while flushes are large
    bool stopped = false;  // closed, or a write failed: nothing more is written
    int failure = 0;       // the errno of a write that failed, not yet raised
    size_t written = 0;  // bytes in the file
    const long owner = getpid_now();  // the process that made it (a forked child does not flush it)

    bool has_file() const { return file_ != nullptr; }
    const std::shared_ptr<const SpoolFile>& file() const { return file_; }
    const std::string& path() const { return path_; }
    // Without the interpreter lock: writes `out`, appended to the file, or when `fresh` to
    // a new file that replaces it; the file replaced (or with `remove` the file) is removed,
    // or set aside when `retire` (it holds a saved trace). `at`: where `out` begins in the
    // file. 0 or the errno of the failure.
    int write_out(const FlushOut& out, bool fresh, bool remove, bool retire, const std::string& trace, uint64_t& at);
    // Closes the file, removing it if `remove`, or setting it aside if `retire`; the files
    // set aside are closed and left (their paths returned: removed once their saves are
    // on disk, or by a later command, which finds their traces stored).
    std::vector<std::string> close(bool remove, bool retire);
    // Removes the files set aside.
    void release();
    size_t retired() const { return retired_.size(); }
    // Where the frames of the slice just written are in the file, now that it is known
    // (`at`: where the slice began).
    void place_slice(uint64_t at);
    // Closes this process's descriptor of the file, without waiting for the mutex.
    void close_descriptor();

    static long getpid_now();

private:
    int open_new(const std::string& trace);
    int write_pieces(const FlushOut& out);

    std::string folder_;
    std::string path_;
    std::shared_ptr<const SpoolFile> file_;
    uint64_t files_ = 0;  // files made: the last part of their names, in order
    // Files of saved traces whose saves may not be on disk yet (storage may batch them):
    // kept, locked, until release().
    std::vector<std::pair<std::shared_ptr<const SpoolFile>, std::string>> retired_;
};

// Python-callable: SarvProfiler.spool_to(folder), .spool_flush() (the number of files
// kept for saves not yet on disk), .spool_release(), .spool_close(remove) (the paths of
// those files, left as they are).
PyObject* py_spool_to(PyObject* self, PyObject* folder);
PyObject* py_spool_flush(PyObject* self, PyObject*);
PyObject* py_spool_release(PyObject* self, PyObject*);
PyObject* py_spool_close(PyObject* self, PyObject* remove);

// sarv._speedups.assemble_spool(data, ended=None, /): the trace a spool holds, as
// (trace_id, main_thread_id, document), or None when it has no whole header. `ended`:
// (timestamp, how), said by a record of type "process_ended" after the main thread's last.
PyObject* assemble_spool(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace sarv
