// The spool: the flush that copies the buffers to a file, and the assembly of a file into
// the trace's document (see spool.hpp).
#include "profiler/spool.hpp"
#include "profiler/document.hpp"
#include "profiler/profiler.hpp"
#include "boundary.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

namespace sarv {
namespace {

constexpr size_t FRAME_HEAD = 5;  // kind byte, 4-byte length

template <class T>
void put(Buffer& out, T value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void put_text(Buffer& out, std::string_view text) {
    put<uint32_t>(out, static_cast<uint32_t>(text.size()));
    out.append(text);
}

// A frame's kind and room for its length, filled in by end_frame().
size_t begin_frame(Buffer& out, char kind) {
    out.push_back(kind);
    put<uint32_t>(out, 0);
    return out.size();
}

void end_frame(Buffer& out, size_t payload_start) {
    auto length = static_cast<uint32_t>(out.size() - payload_start);
    std::memcpy(out.data() + payload_start - sizeof length, &length, sizeof length);
}

void write_header(Buffer& out, const DocumentMeta& meta) {
    out.append(SPOOL_MAGIC, sizeof SPOOL_MAGIC);
    size_t at = begin_frame(out, 'H');
    put_text(out, meta.trace_id);
    put_text(out, meta.source);
    put<double>(out, meta.created);
    put<uint64_t>(out, meta.main_thread_id);
    put<uint64_t>(out, meta.max_records);
    put<uint64_t>(out, meta.max_bytes);
    put<uint8_t>(out, meta.keep_latest);
    put_text(out, meta.version);
    put<uint8_t>(out, meta.commit_sha.has_value());
    put_text(out, meta.commit_sha.value_or(""));
    put<uint32_t>(out, static_cast<uint32_t>(meta.argv.size()));
    for (const auto& arg : meta.argv) {
        put_text(out, arg);
    }
    put<uint64_t>(out, static_cast<uint64_t>(getpid()));
    end_frame(out, at);
}

// What one list gained since the last flush, at most `budget` bytes of its records (`more`
// turns true when some are left): the drop of records copied before, then the new
// records. A list new to the file begins with its records that left memory for earlier
// files, copied from there.
void copy_list(FlushOut& out, bool thread, size_t thread_id, const RecordList& list, Spool::Mark& mark, size_t& budget,
               bool& more) {
    if (mark.written && list.first_index() > mark.dropped_to) {
        size_t at = begin_frame(out.bytes, 'D');
        put<uint8_t>(out.bytes, thread);
        put<uint64_t>(out.bytes, thread_id);
        put<uint64_t>(out.bytes, list.first_index());
        end_frame(out.bytes, at);
        mark.dropped_to = list.first_index();
    }
    if (!mark.written) {
        size_t position = list.first_index();
        for (const SpilledRun& run : list.spilled()) {
            size_t size = 4 * run.count + run.bytes;
            out.bytes.push_back('B');
            put<uint32_t>(out.bytes, static_cast<uint32_t>(1 + 8 + 8 + 4 + size));
            put<uint8_t>(out.bytes, thread);
            put<uint64_t>(out.bytes, thread_id);
            put<uint64_t>(out.bytes, position);
            put<uint32_t>(out.bytes, static_cast<uint32_t>(run.count));
            out.copies.push_back({out.bytes.size(), run.file, run.sizes(), size});
            out.copied += size;
            position += run.count;
        }
    }
    size_t from = std::max(mark.index, list.memory_index());
    size_t from_byte = mark.index >= list.memory_index() ? mark.byte : list.memory_byte();
    bool fresh_thread = thread && !mark.written;  // shows in the document even while empty
    if (list.end_index() > from && budget == 0) {
        more = true;  // (for the next slice)
        return;
    }
    if (list.end_index() > from || fresh_thread) {
        size_t at = begin_frame(out.bytes, 'B');
        put<uint8_t>(out.bytes, thread);
        put<uint64_t>(out.bytes, thread_id);
        put<uint64_t>(out.bytes, from);
        size_t count_at = out.bytes.size();
        put<uint32_t>(out.bytes, 0);
        size_t count = 0;
        size_t bytes = 0;
        list.for_each_from(from, from_byte, [&](std::string_view record) {
            if (count > 0 && bytes + record.size() > budget) {
                return false;
            }
            put<uint32_t>(out.bytes, static_cast<uint32_t>(record.size()));
            ++count;
            bytes += record.size();
            return true;
        });
        auto count32 = static_cast<uint32_t>(count);
        std::memcpy(out.bytes.data() + count_at, &count32, sizeof count32);
        size_t data = out.position();
        size_t left = count;
        list.for_each_from(from, from_byte, [&](std::string_view record) {
            if (left == 0) {
                return false;
            }
            out.bytes.append(record);
            --left;
            return true;
        });
        end_frame(out.bytes, at);
        if (count > 0) {
            mark.unspilled.push_back({data, from, count, bytes, false});  // (placed once written)
        }
        if (!mark.written) {
            mark.dropped_to = list.first_index();
        }
        mark.written = true;
        budget -= std::min(budget, bytes);
        more = more || from + count < list.end_index();
        mark.index = from + count;
        mark.byte = from_byte + bytes;
        return;
    }
    mark.index = list.end_index();
    mark.byte = list.end_byte();
}

int write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// The thread runs a flush (holding its spool's mutex): an event it records meanwhile must
// not wait for that mutex.
thread_local bool flushing_here = false;

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace

long Spool::getpid_now() { return static_cast<long>(::getpid()); }

Spool::~Spool() = default;  // (the files close once nothing reads them)

void Spool::close_descriptor() {
    file_.reset();
    retired_.clear();  // (the parent's)
    stopped = true;
}

std::vector<std::string> Spool::close(bool remove, bool retire) {
    if (file_ && retire) {
        retired_.emplace_back(std::move(file_), std::move(path_));
    } else if (file_ && remove) {
        ::unlink(path_.c_str());
    }
    file_.reset();
    std::vector<std::string> left;
    for (const auto& [file, path] : retired_) {
        left.push_back(path);
    }
    retired_.clear();
    stopped = true;
    return left;
}

void Spool::release() {
    for (const auto& [file, path] : retired_) {
        ::unlink(path.c_str());
    }
    retired_.clear();
}

int Spool::open_new(const std::string& trace) {
    // Made under another name and locked before it gets its own: a reader never finds it
    // unlocked while its process lives.
    char number[24];
    std::snprintf(number, sizeof number, "-%06llu", static_cast<unsigned long long>(++files_));
    std::string name = std::to_string(getpid()) + "-" + trace + number;
    std::string made = folder_ + "/." + name + ".new";
    int fd = ::open(made.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return errno;
    }
    std::string path = folder_ + "/" + name;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::rename(made.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::close(fd);
        ::unlink(made.c_str());
        return error;
    }
    file_ = std::make_shared<const SpoolFile>(fd);
    path_ = std::move(path);
    written = 0;
    return 0;
}

int Spool::write_pieces(const FlushOut& out) {
    size_t done = 0;
    std::vector<char> bounce;
    for (const auto& copy : out.copies) {
        if (int error = write_all(file_->fd, out.bytes.data() + done, copy.at - done)) {
            return error;
        }
        done = copy.at;
        bounce.resize(std::min(copy.size, size_t{1} << 20));
        for (size_t moved = 0; moved < copy.size;) {
            size_t n = std::min(bounce.size(), copy.size - moved);
            try {
                read_spool_file(copy.file->fd, bounce.data(), n, copy.offset + moved);
            } catch (const SpoolReadError& e) {
                return e.error;
            }
            if (int error = write_all(file_->fd, bounce.data(), n)) {
                return error;
            }
            moved += n;
        }
    }
    return write_all(file_->fd, out.bytes.data() + done, out.bytes.size() - done);
}

int Spool::write_out(const FlushOut& out, bool fresh, bool remove, bool retire, const std::string& trace,
                     uint64_t& at) {
    // The file replaced is dealt with once its successor is written: a process killed in
    // between leaves both, and the older is stored first.
    std::shared_ptr<const SpoolFile> old;
    std::string old_path;
    if (file_ && (remove || fresh)) {
        old = std::exchange(file_, nullptr);
        old_path = std::exchange(path_, {});
    }
    int error = 0;
    if (!out.empty()) {
        bool made = !file_;
        error = made ? open_new(trace) : 0;
        if (error == 0) {
            at = written;
            error = write_pieces(out);
            written += out.position();
        }
        if (made && error == 0) {
            // The folder synced once per file, so its name outlives a crash of the machine
            // (the records themselves are not synced: a killed process leaves them to the
            // system, and a sync at every flush would make the flushes wait for the disk).
            // After the records: the sync waits for the file system's journal, and what a
            // killed process leaves is what was written before it.
            int folder = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (folder >= 0) {
                ::fsync(folder);
                ::close(folder);
            }
        }
    }
    if (old) {
        if (retire) {
            retired_.emplace_back(std::move(old), std::move(old_path));
        } else {
            ::unlink(old_path.c_str());  // (read on by records that left memory for it)
        }
    }
    return error;
}

bool SarvProfiler::spool_copy(Spool& s, const DocumentMeta& meta, FlushOut& out, bool& fresh, bool& remove,
                              bool& retire, bool& more) {
    fresh = !s.has_file() || s.trace_id != buffers.trace_id || s.generation != buffers.buffers_generation;
    // The file holds records a save of its trace has taken since: kept until they are on
    // disk. (Not for another trace's save: the file's records were then left, not saved.)
    retire = false;
    for (const auto& [saved_trace, generation] : saves_since_flush) {
        retire = retire || (s.has_file() && saved_trace == s.trace_id && generation > s.generation);
    }
    saves_since_flush.clear();
    size_t dropped_now = buffers.dropped + 2 * buffers.calls_after_end;
    if (!fresh && (config.max_records != 0 || config.max_bytes != 0) && config.keep_latest) {
        // Under "ring" the file keeps records the buffers dropped long ago: past twice what
        // they hold (and a few megabytes), it is written anew from what they hold.
        size_t held = buffers.frames_of_interest.bytes();
        for (const auto& [thread_id, list] : buffers.frames) {
            held += list.bytes();
        }
        fresh = s.written > 2 * held + (size_t{4} << 20);
    }
    if (fresh) {
        s.interest = {};
        s.threads.clear();
        s.state.clear();
        s.trace_id = buffers.trace_id;
        s.generation = buffers.buffers_generation;
        if (buffers.frames_of_interest.empty() && buffers.frames.empty() && dropped_now == 0) {
            remove = s.has_file();  // the trace was saved, or left: nothing of it to keep
            return false;
        }
        write_header(out.bytes, meta);
    }
    // Room for what is new at once (up to a slice): growing the buffer as it goes would
    // copy it again.
    size_t room = 256;
    auto room_for = [&room](const RecordList& list, const Spool::Mark& mark) {
        size_t from = std::max(mark.index, list.memory_index());
        if (list.end_index() > from) {
            size_t from_byte = mark.index >= list.memory_index() ? mark.byte : list.memory_byte();
            room += list.end_byte() - from_byte + 4 * (list.end_index() - from) + 64;
        }
    };
    room_for(buffers.frames_of_interest, s.interest);
    for (const auto& [thread_id, list] : buffers.frames) {
        auto mark = s.threads.find(thread_id);
        room_for(list, mark != s.threads.end() ? mark->second : Spool::Mark{});
    }
    out.bytes.reserve(out.bytes.size() + std::min(room, FLUSH_SLICE + 4 * (FLUSH_SLICE / 16) + 4096));
    size_t budget = FLUSH_SLICE;
    more = false;
    copy_list(out, false, 0, buffers.frames_of_interest, s.interest, budget, more);
    for (const auto& [thread_id, list] : buffers.frames) {
        copy_list(out, true, thread_id, list, s.threads[thread_id], budget, more);
    }
    if (more) {
        return true;  // (the state follows the last slice)
    }
    // The note of calls left out, as a document made now would write it (taking it
    // changes nothing that a later take would not do the same).
    TakenFrames note;
    std::string restored = buffers.restored_left_out;
    buffers.take_left_out(note);
    buffers.left_out_codes = std::move(note.left_out_codes);
    buffers.restored_left_out = std::move(restored);
    Buffer state;
    put<uint64_t>(state, dropped_now);
    put<uint8_t>(state, buffers.opening.in_list);
    put<uint8_t>(state, buffers.opening.aside);
    put_text(state, buffers.opening.record);
    put_text(state, note.left_out_note);
    if (state.view() != s.state) {
        size_t at = begin_frame(out.bytes, 'S');
        out.bytes.append(state.view());
        end_frame(out.bytes, at);
        s.state.assign(state.view());
    }
    return true;
}

void SarvProfiler::spool_spill(Spool& s) {
    size_t total = buffers.frames_of_interest.bytes();
    for (const auto& [thread_id, list] : buffers.frames) {
        total += list.bytes();
    }
    // Not under "ring": its cap bounds what it holds, and it drops records from memory.
    bool ring = config.keep_latest && (config.max_records != 0 || config.max_bytes != 0);
    if (ring || total < SPILL_FROM || s.trace_id != buffers.trace_id || s.generation != buffers.buffers_generation) {
        return;
    }
    auto spill = [&s](RecordList& list, Spool::Mark& mark) {
        while (!mark.unspilled.empty()) {
            const Spool::Mark::Frame& frame = mark.unspilled.front();
            if (frame.index != list.memory_index() || frame.count > list.memory_count()) {
                mark.unspilled.clear();  // (cannot be: the list changed under another generation)
                return;
            }
            list.spill(SpilledRun{s.file(), frame.data, frame.count, frame.bytes});
            mark.unspilled.pop_front();
        }
    };
    spill(buffers.frames_of_interest, s.interest);
    for (auto& [thread_id, list] : buffers.frames) {
        auto mark = s.threads.find(thread_id);
        if (mark != s.threads.end()) {
            spill(list, mark->second);
        }
    }
    // Records leave memory as the flushes write them: a thread that recorded SPOOL_WAIT_FROM
    // bytes more than they have taken writes the spool itself (spool_catch_up).
    spool_wait_at.store(SPOOL_WAIT_FROM, std::memory_order_relaxed);
}

void SarvProfiler::spool_catch_up() {
    // Disarmed until a flush lets records leave memory again: a flush that cannot (a save
    // running, the spool stopped) is not tried again at every event.
    spool_wait_at.store(SIZE_MAX, std::memory_order_relaxed);
    std::shared_ptr<Spool> keep = spool;
    // Not from the flush itself, in a forked child (its parent's spool), nor once the
    // interpreter is finalizing (a thread that lets the interpreter lock go may be ended
    // there, holding the spool's mutex).
    if (!keep || flushing_here || keep->owner != Spool::getpid_now() || finalizing()) {
        return;
    }
    size_t retired = 0;
    if (!spool_flush(retired, false)) {
        PyErr_Clear();  // (a failed write is raised by the next flush of sarv's thread)
    }
}

bool SarvProfiler::spool_to(const std::string& folder) {
    spool = std::make_shared<Spool>(folder);
    // From the first records: a list past SPOOL_WAIT_FROM is past SPILL_FROM too, and the
    // first flush of sarv's thread may come after hundreds of megabytes.
    spool_wait_at.store(SPOOL_WAIT_FROM, std::memory_order_relaxed);
    return true;
}

void Spool::place_slice(uint64_t at) {
    auto place = [at](Mark& mark) {
        for (auto& frame : mark.unspilled) {
            if (!frame.placed) {
                frame.data += at;
                frame.placed = true;
            }
        }
    };
    place(interest);
    for (auto& [thread_id, mark] : threads) {
        place(mark);
    }
}

bool SarvProfiler::spool_flush(size_t& retired, bool raise_failure) {
    retired = 0;
    std::shared_ptr<Spool> keep = spool;
    if (!keep) {
        return true;
    }
    Spool& s = *keep;
    // One flush at a time; waited for without the interpreter lock, which the flush
    // holding the spool needs back after its write.
    std::unique_lock<std::mutex> guard(s.mutex, std::try_to_lock);
    if (!guard.owns_lock()) {
        Py_BEGIN_ALLOW_THREADS guard.lock();
        Py_END_ALLOW_THREADS
    }
    struct Flushing {
        Flushing() { flushing_here = true; }
        ~Flushing() { flushing_here = false; }
    } flushing;
    if (s.failure != 0 && raise_failure) {
        // A write that failed in a flush of the recording thread's: said by this one.
        errno = std::exchange(s.failure, 0);
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, s.path().empty() ? nullptr : s.path().c_str());
        return false;
    }
    DocumentMeta meta{};
    if (!s.stopped && saves_running.load() == 0 && !read_document_meta(*this, meta)) {
        return false;
    }
    // The same memory for every slice (a new one each time would be fresh pages to fault in).
    struct Scratch {
        Spool& s;
        FlushOut out;
        explicit Scratch(Spool& spool) : s(spool) {
            out.bytes = std::move(s.scratch);
            out.bytes.clear();
        }
        ~Scratch() {
            // Kept while flushes are large; a small one lets it go.
            if (out.bytes.size() >= (size_t{1} << 20)) {
                s.scratch = std::move(out.bytes);
            }
        }
    };
    for (bool more = true; more;) {
        if (s.stopped || saves_running.load() > 0) {
            return true;
        }
        Scratch scratch(s);
        FlushOut& out = scratch.out;
        bool fresh = false;
        bool remove = false;
        bool retire = false;
        more = false;
        {
            std::lock_guard<std::mutex> a(buffers.trace_id_mutex);
            std::lock_guard<std::mutex> b(buffers.frames_of_interest_mutex);
            std::lock_guard<std::mutex> c(buffers.frames_mutex);
            // (a save on another thread takes the records under these locks, after counting
            // itself in saves_running)
            if (saves_running.load() > 0) {
                return true;
            }
            meta.trace_id = buffers.trace_id;
            spool_copy(s, meta, out, fresh, remove, retire, more);
        }
        int error = 0;
        uint64_t at = 0;
        Py_BEGIN_ALLOW_THREADS error = s.write_out(out, fresh, remove, retire, meta.trace_id, at);
        Py_END_ALLOW_THREADS if (error != 0) {
            // Left as it is: a cut frame is read up to its last whole record. The records
            // stay in memory from now on.
            s.stopped = true;
            if (!raise_failure) {
                s.failure = error;
                return false;
            }
            errno = error;
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, s.path().empty() ? nullptr : s.path().c_str());
            return false;
        }
        s.place_slice(at);
        std::lock_guard<std::mutex> a(buffers.trace_id_mutex);
        std::lock_guard<std::mutex> b(buffers.frames_of_interest_mutex);
        std::lock_guard<std::mutex> c(buffers.frames_mutex);
        spool_spill(s);
    }
    retired = s.retired();
    return true;
}

void SarvProfiler::spool_release() {
    std::shared_ptr<Spool> keep = spool;
    if (!keep) {
        return;
    }
    std::unique_lock<std::mutex> guard(keep->mutex, std::try_to_lock);
    if (!guard.owns_lock()) {
        Py_BEGIN_ALLOW_THREADS guard.lock();
        Py_END_ALLOW_THREADS
    }
    keep->release();
}

std::vector<std::string> SarvProfiler::spool_close(bool remove) {
    spool_wait_at.store(SIZE_MAX, std::memory_order_relaxed);
    std::shared_ptr<Spool> keep = std::exchange(spool, nullptr);
    if (!keep) {
        return {};
    }
    if (keep->owner != Spool::getpid_now()) {
        // A forked child's copy of its parent's spool: the parent's thread may have held
        // its lock at the fork, and will never let go here. Its descriptor is closed (the
        // file stays locked by the parent) and the rest is left as it is.
        keep->close_descriptor();
        new std::shared_ptr<Spool>(std::move(keep));  // never destroyed: its mutex may be held
        // The copy of the parent's records (the parent's to save) goes too: records that
        // left memory would hold the parent's files open, and locked, here. (No thread held
        // these locks at the fork: they are taken with the interpreter lock only.)
        std::lock_guard<std::mutex> a(buffers.frames_of_interest_mutex);
        std::lock_guard<std::mutex> b(buffers.frames_mutex);
        buffers.frames_of_interest.clear();
        buffers.frames.clear();
        return {};
    }
    std::unique_lock<std::mutex> guard(keep->mutex, std::try_to_lock);
    if (!guard.owns_lock()) {
        Py_BEGIN_ALLOW_THREADS guard.lock();
        Py_END_ALLOW_THREADS
    }
    // The file holds a trace saved since the last flush (a suite's last test, whose save
    // storage may still batch): kept with the files set aside, until the save is on disk.
    bool retire = false;
    {
        std::lock_guard<std::mutex> held(buffers.frames_of_interest_mutex);
        for (const auto& [saved_trace, generation] : saves_since_flush) {
            retire = retire || (keep->has_file() && saved_trace == keep->trace_id && generation > keep->generation);
        }
        saves_since_flush.clear();
    }
    return keep->close(remove, retire);
}

namespace {

// Reads a spool's bytes; `ok` turns false at the first read past the end.
struct Reader {
    const char* at;
    const char* end;
    bool ok = true;

    size_t left() const { return static_cast<size_t>(end - at); }
    template <class T>
    T get() {
        T value{};
        if (!ok || left() < sizeof value) {
            ok = false;
            return value;
        }
        std::memcpy(&value, at, sizeof value);
        at += sizeof value;
        return value;
    }
    std::string_view bytes(size_t n) {
        if (!ok || left() < n) {
            ok = false;
            return {};
        }
        std::string_view view(at, n);
        at += n;
        return view;
    }
    std::string_view text() { return bytes(get<uint32_t>()); }
};

bool read_header(Reader r, DocumentMeta& meta) {
    meta.trace_id.assign(r.text());
    meta.source.assign(r.text());
    meta.created = r.get<double>();
    meta.main_thread_id = r.get<uint64_t>();
    meta.max_records = r.get<uint64_t>();
    meta.max_bytes = r.get<uint64_t>();
    meta.keep_latest = r.get<uint8_t>() != 0;
    meta.version.assign(r.text());
    bool has_commit = r.get<uint8_t>() != 0;
    std::string_view commit = r.text();
    if (has_commit) {
        meta.commit_sha.emplace(commit);
    }
    uint32_t argc = r.get<uint32_t>();
    for (uint32_t i = 0; r.ok && i < argc; ++i) {
        meta.argv.emplace_back(r.text());
    }
    r.get<uint64_t>();  // pid
    return r.ok;
}

// A record the hook could have made: one MessagePack map.
bool whole_record(std::string_view record) {
    if (record.empty()) {
        return false;
    }
    auto first = static_cast<unsigned char>(record[0]);
    return (first >= 0x80 && first <= 0x8f) || first == 0xde || first == 0xdf;
}

// One list as the file rebuilds it: the position of its first record.
struct Rebuilt {
    size_t start = 0;
    RecordList list;
    bool seen = false;

    size_t end() const { return start + list.end_index(); }
    void drop_to(size_t position) {
        size_t first = start + list.first_index();
        if (position > first) {
            list.drop_front(position - first);
        }
    }
};

struct Assembled {
    DocumentMeta meta{};
    Rebuilt interest;
    std::map<size_t, Rebuilt> threads;
    Opening opening;
    std::string left_out_note;
    size_t dropped = 0;
};

void add_records(Assembled& a, bool thread, size_t thread_id, size_t from,
                 const std::vector<std::string_view>& records);

// The records of an 'R' frame, up to the last whole one. False when the frame was cut
// (`cut`: it runs past the end of the file), or a record in it is not whole.
bool read_records(Reader r, Assembled& a, bool cut) {
    bool thread = r.get<uint8_t>() != 0;
    size_t thread_id = r.get<uint64_t>();
    size_t from = r.get<uint64_t>();
    std::vector<std::string_view> records;
    bool whole = r.ok && !cut;
    while (r.ok && r.left() > 0) {
        auto size = r.get<uint32_t>();
        std::string_view record = r.bytes(size);
        if (!r.ok || !whole_record(record)) {
            whole = false;
            break;
        }
        records.push_back(record);
    }
    if (!r.ok && records.empty()) {
        return false;  // not even its list is known for sure
    }
    add_records(a, thread, thread_id, from, records);
    return whole;
}

void add_records(Assembled& a, bool thread, size_t thread_id, size_t from,
                 const std::vector<std::string_view>& records) {
    Rebuilt& target = thread ? a.threads[thread_id] : a.interest;
    if (!target.seen || from > target.end()) {
        // The first records of the list, or the list's records up to `from` were dropped
        // before they were copied (the drops are always the oldest): it starts anew there.
        target.list.clear();
        target.start = from;
        target.seen = true;
    }
    size_t skip = std::min(target.end() - from, records.size());  // (never copied twice, but never taken twice)
    for (size_t i = skip; i < records.size(); ++i) {
        target.list.push(records[i]);
    }
}

// The records of a 'B' frame (sizes, then the bytes back to back), up to the last whole
// one; false as read_records().
bool read_block(Reader r, Assembled& a, bool cut) {
    bool thread = r.get<uint8_t>() != 0;
    size_t thread_id = r.get<uint64_t>();
    size_t from = r.get<uint64_t>();
    uint32_t count = r.get<uint32_t>();
    if (!r.ok) {
        return false;
    }
    Reader sizes{r.at, r.at + std::min<size_t>(size_t{4} * count, r.left())};
    Reader data{sizes.end, r.end};
    std::vector<std::string_view> records;
    bool whole = !cut && sizes.left() == size_t{4} * count;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t size = sizes.get<uint32_t>();
        std::string_view record = data.bytes(size);
        if (!sizes.ok || !data.ok || !whole_record(record)) {
            whole = false;
            break;
        }
        records.push_back(record);
    }
    if (whole && data.left() != 0) {
        whole = false;  // (more bytes than its sizes say: not a frame of ours)
    }
    if (!whole && records.empty() && count > 0) {
        return false;
    }
    add_records(a, thread, thread_id, from, records);
    return whole;
}

bool read_state(Reader r, Assembled& a) {
    size_t dropped = r.get<uint64_t>();
    bool in_list = r.get<uint8_t>() != 0;
    bool aside = r.get<uint8_t>() != 0;
    std::string_view opening = r.text();
    std::string_view note = r.text();
    if (!r.ok) {
        return false;
    }
    a.dropped = dropped;
    a.opening.in_list = in_list;
    a.opening.aside = aside;
    a.opening.record.assign(opening);
    a.left_out_note.assign(note);
    return true;
}

// The spool's frames into `a`; false when it has no whole header.
bool read_spool(std::string_view data, Assembled& a) {
    if (data.size() < sizeof SPOOL_MAGIC || std::memcmp(data.data(), SPOOL_MAGIC, sizeof SPOOL_MAGIC) != 0) {
        return false;
    }
    Reader r{data.data() + sizeof SPOOL_MAGIC, data.data() + data.size()};
    bool header = false;
    while (r.left() >= FRAME_HEAD) {
        char kind = r.get<char>();
        uint32_t length = r.get<uint32_t>();
        bool cut = length > r.left();
        Reader payload{r.at, r.at + std::min<size_t>(length, r.left())};
        r.at = payload.end;
        if (!header) {
            if (kind != 'H' || cut || !read_header(payload, a.meta)) {
                return false;
            }
            header = true;
            continue;
        }
        bool whole = false;
        if (kind == 'B') {
            whole = read_block(payload, a, cut);
        } else if (kind == 'R') {
            whole = read_records(payload, a, cut);
        } else if (kind == 'S' && !cut) {
            whole = read_state(payload, a);
        } else if (kind == 'D' && !cut) {
            bool thread = payload.get<uint8_t>() != 0;
            size_t thread_id = payload.get<uint64_t>();
            size_t position = payload.get<uint64_t>();
            if (payload.ok) {
                (thread ? a.threads[thread_id] : a.interest).drop_to(position);
                whole = true;
            }
        }
        if (!whole || cut) {
            break;  // the process died while writing: what follows is not whole
        }
    }
    return header;
}

// The record that says how a recovered trace ended: a marker of the main thread's, as a
// plugin would write it.
std::string ended_record(double timestamp, std::string_view how, size_t thread_id) {
    Buffer record;
    BufferSink sink{&record};
    MsgpackWriter<BufferSink> w(sink);
    w.map_header(4);
    w.str_pair("type", "process_ended");
    w.f64_pair("timestamp", timestamp);
    w.int_pair("thread_native_id", thread_id);
    w.str_pair("how", how);
    return std::string(record.view());
}

}  // namespace

PyObject* assemble_spool(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs < 1 || nargs > 2) {
            PyErr_SetString(PyExc_TypeError, "assemble_spool(data, ended=None)");
            return nullptr;
        }
        Py_buffer view;
        if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) {
            return nullptr;
        }
        std::string_view data(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
        Assembled a;
        bool read = read_spool(data, a);
        PyBuffer_Release(&view);
        if (!read) {
            Py_RETURN_NONE;
        }
        TakenFrames taken;
        taken.frames_of_interest = std::move(a.interest.list);
        for (auto& [thread_id, rebuilt] : a.threads) {
            taken.frames.emplace(thread_id, std::move(rebuilt.list));
        }
        // An opening marker said to be the first record is, unless the file was cut
        // before it.
        if (a.opening.in_list) {
            bool first = false;
            taken.frames_of_interest.for_first(
                1, [&](std::string_view record) { first = record == std::string_view(a.opening.record); });
            a.opening.in_list = first;
        }
        taken.opening = std::move(a.opening);
        taken.left_out_note = std::move(a.left_out_note);
        taken.dropped = a.dropped;
        a.meta.dropped = a.dropped;
        if (nargs == 2 && args[1] != Py_None) {
            double timestamp = 0;
            const char* how = nullptr;
            if (!PyArg_ParseTuple(args[1], "ds", &timestamp, &how)) {
                return nullptr;
            }
            taken.frames_of_interest.push(ended_record(timestamp, how, a.meta.main_thread_id));
        }
        Ref document = document_bytes(a.meta, taken);
        Ref trace_id = Ref::steal(
            PyUnicode_FromStringAndSize(a.meta.trace_id.data(), static_cast<Py_ssize_t>(a.meta.trace_id.size())));
        Ref main_thread = Ref::steal(PyLong_FromSize_t(a.meta.main_thread_id));
        if (!document || !trace_id || !main_thread) {
            return nullptr;
        }
        return PyTuple_Pack(3, trace_id.get(), main_thread.get(), document.get());
    });
}

PyObject* py_spool_to(PyObject* self, PyObject* folder) {
    return guarded([&]() -> PyObject* {
        SarvProfiler* p = profiler_of(self);
        std::string_view text;
        if (p == nullptr || !utf8_view(folder, text)) {
            return nullptr;
        }
        if (!p->spool_to(std::string(text))) {
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* py_spool_flush(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SarvProfiler* p = profiler_of(self);
        size_t retired = 0;
        if (p == nullptr || !p->spool_flush(retired)) {
            return nullptr;
        }
        return PyLong_FromSize_t(retired);
    });
}

PyObject* py_spool_release(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SarvProfiler* p = profiler_of(self);
        if (p == nullptr) {
            return nullptr;
        }
        p->spool_release();
        Py_RETURN_NONE;
    });
}

PyObject* py_spool_close(PyObject* self, PyObject* remove) {
    return guarded([&]() -> PyObject* {
        SarvProfiler* p = profiler_of(self);
        int truth = p != nullptr ? PyObject_IsTrue(remove) : -1;
        if (truth < 0) {
            return nullptr;
        }
        std::vector<std::string> left = p->spool_close(truth == 1);
        Ref paths = Ref::steal(PyList_New(0));
        for (size_t i = 0; paths && i < left.size(); ++i) {
            Ref path =
                Ref::steal(PyUnicode_DecodeFSDefaultAndSize(left[i].data(), static_cast<Py_ssize_t>(left[i].size())));
            if (!path || PyList_Append(paths.get(), path.get()) < 0) {
                return nullptr;
            }
        }
        return paths.release();
    });
}

}  // namespace sarv
