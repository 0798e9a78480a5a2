// The spool: the records of the trace being recorded, copied to a file beside the database
// while the program runs, so that a process killed before it saves (SIGKILL, out of memory,
// a crash in C code) leaves its trace behind for the next sarv command to store.
//
// The copying is done by spool_flush(), which a thread of sarv's calls a few times a
// second: the hook never waits for the disk. The flush copies the records made since the
// last one under the buffers' locks (memory only), then writes them with the interpreter
// lock released. The file holds the records in their own encoding, so the trace assembled
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
//   'R' records: list (1 byte: 0 frames_of_interest, 1 a thread's), thread id, the position
//       of its first record (RecordList::first_index), then each record as a 4-byte length
//       and its bytes; the list's records before that position were dropped
//   'D' dropped: list, thread id, position: the list's records before it were dropped
//   'S' state: records the caps dropped, the opening marker (in_list, aside: 1 byte each,
//       then the record), the note of calls left out; the last one holds
// The file is rewritten from its start whenever the buffers were taken or emptied, and
// removed once they hold nothing of a trace (saved or discarded), and rewritten when the
// caps' drops ("ring") have left most of it behind, so that it stays near the size of what
// the buffers hold. It is locked (flock) for
// as long as its process lives: a file that can be locked belongs to a process that ended
// without saving. A frame cut short (the process died while writing) is read up to its
// last whole record.
#pragma once

#include "common.hpp"
#include "encode/msgpack_write.hpp"

#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sarv {

inline constexpr char SPOOL_MAGIC[8] = {'S', 'A', 'R', 'V', 'S', 'P', 'L', '1'};

class Spool {
public:
    explicit Spool(std::string folder) : folder_(std::move(folder)) {}
    ~Spool();  // closes the file and leaves it (a forked child drops its parent's this way)
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // What has been copied of one list: up to which record (and byte), and the position
    // of the drops written.
    struct Mark {
        size_t index = 0;
        size_t byte = 0;
        size_t dropped_to = 0;
        bool written = false;
    };

    // Held for one whole flush (taken with the interpreter lock released).
    std::mutex mutex;
    // The trace and buffers' generation the marks are of.
    std::string trace_id;
    uint64_t generation = 0;
    Mark interest;
    std::unordered_map<size_t, Mark> threads;
    std::string state;  // the last state frame written
    bool stopped = false;  // closed, or a write failed: nothing more is written
    size_t written = 0;  // bytes in the file
    const long owner = getpid_now();  // the process that made it (a forked child does not flush it)

    bool has_file() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }
    // Without the interpreter lock: removes the file (`remove`, or a `fresh` copy of another
    // trace than the file's) or sets it aside (`retire`: it holds a saved trace), then
    // writes `out`: a new file, or the file from its start when `fresh`, else appended.
    // 0 or the errno of the failure.
    int write_out(const Buffer& out, bool fresh, bool remove, bool retire, const std::string& trace);
    // Closes the file, removing it if `remove`; the files set aside are closed and left
    // (a later command removes them once it finds their traces stored).
    void close(bool remove);
    // Removes the files set aside.
    void release();
    size_t retired() const { return retired_.size(); }
    // Closes this process's descriptor of the file, without waiting for the mutex.
    void close_descriptor();

    static long getpid_now();

private:
    std::string folder_;
    std::string path_;
    std::string file_trace_;
    int fd_ = -1;
    uint64_t files_ = 0;  // files made: the last part of their names, in order
    // Files of saved traces whose saves may not be on disk yet (storage may batch them):
    // kept, locked, until release().
    std::vector<std::pair<int, std::string>> retired_;
};

// Python-callable: SarvProfiler.spool_to(folder), .spool_flush() (the number of files
// kept for saves not yet on disk), .spool_release(), .spool_close(remove).
PyObject* py_spool_to(PyObject* self, PyObject* folder);
PyObject* py_spool_flush(PyObject* self, PyObject*);
PyObject* py_spool_release(PyObject* self, PyObject*);
PyObject* py_spool_close(PyObject* self, PyObject* remove);

// sarv._speedups.assemble_spool(data, ended=None, /): the trace a spool holds, as
// (trace_id, main_thread_id, document), or None when it has no whole header. `ended`:
// (timestamp, how), said by a record of type "process_ended" after the main thread's last.
PyObject* assemble_spool(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace sarv
