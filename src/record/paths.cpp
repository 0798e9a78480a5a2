// The file name a record shows: relative to the working directory, which is read again
// only when it may have changed.
#include "record/paths.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

namespace sarv {
namespace {

// Walks the components path comparison sees: a leading root, then the non-empty parts
// that are not ".". Views point into the original text; nothing is allocated.
class Components {
public:
    explicit Components(std::string_view path) : path_(path), root_(!path.empty() && path[0] == '/') {}

    bool next(std::string_view& part, size_t& end) {
        if (root_) {
            root_ = false;
            pos_ = 1;
            part = path_.substr(0, 1);
            end = 1;
            return true;
        }
        while (pos_ < path_.size()) {
            size_t slash = path_.find('/', pos_);
            if (slash == std::string_view::npos) {
                slash = path_.size();
            }
            std::string_view candidate = path_.substr(pos_, slash - pos_);
            pos_ = slash + 1;
            if (!candidate.empty() && candidate != ".") {
                part = candidate;
                end = slash;
                return true;
            }
        }
        return false;
    }

private:
    std::string_view path_;
    size_t pos_ = 0;
    bool root_;
};

// Asking the system for the working directory costs a system call (about 0.6 us here) on
// every record. Python changes it only through os.chdir and os.fchdir, which both raise
// the audit event "os.chdir": counting those events tells when the last answer is stale.
std::atomic<uint64_t> chdir_count{0};
std::atomic<bool> watching_chdir{false};
std::atomic<bool> probe_seen{false};
constexpr char WATCH_PROBE[] = "sarv.watch_working_directory";

int count_chdir(const char* event, PyObject*, void*) {
    if (std::strcmp(event, "os.chdir") == 0) {
        chdir_count.fetch_add(1, std::memory_order_relaxed);
    } else if (std::strcmp(event, WATCH_PROBE) == 0) {
        probe_seen.store(true);
    }
    return 0;
}

// The working directory, read again whenever it may have changed, and at every call when
// changes cannot be watched. False when it cannot be read.
bool read_cwd(std::string_view& out) {
    struct Cached {
        std::vector<char> buffer = std::vector<char>(4096);
        uint64_t count = 0;
        bool valid = false;
    };
    thread_local Cached cached;
    bool watching = watching_chdir.load(std::memory_order_relaxed);
    uint64_t count = chdir_count.load(std::memory_order_relaxed);
    if (watching && cached.valid && cached.count == count) {
        out = std::string_view(cached.buffer.data());
        return true;
    }
    cached.valid = false;
    while (getcwd(cached.buffer.data(), cached.buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            return false;
        }
        cached.buffer.resize(cached.buffer.size() * 2);
    }
    cached.count = count;
    cached.valid = true;
    out = std::string_view(cached.buffer.data());
    return true;
}

}  // namespace

void watch_working_directory() {
    // Audit hooks stay for the life of the process: one attempt per process. An existing
    // hook may refuse ours (silently: the call still reports success), so a probe event
    // tells whether it really listens; if not, the directory is read at every record.
    static bool attempted = false;
    if (attempted) {
        return;
    }
    attempted = true;
    if (PySys_AddAuditHook(count_chdir, nullptr) != 0) {
        PyErr_Clear();
        return;
    }
    if (PySys_Audit(WATCH_PROBE, nullptr) < 0) {
        PyErr_Clear();
    }
    watching_chdir.store(probe_seen.load());
}

std::string_view relative_to(std::string_view filename, std::string_view cwd) {
    Components base(cwd);
    Components file(filename);
    std::string_view base_part, file_part;
    size_t base_end = 0, file_end = 0;
    bool any = false;
    while (base.next(base_part, base_end)) {
        if (!file.next(file_part, file_end) || file_part != base_part) {
            return filename;
        }
        any = true;
    }
    if (!any) {
        return filename;
    }
    std::string_view rest = filename.substr(file_end);
    while (!rest.empty() && (rest.front() == '/' || rest.starts_with("./"))) {
        rest.remove_prefix(rest.front() == '/' ? 1 : 2);
    }
    if (rest == ".") {
        rest = {};
    }
    return rest;
}

bool working_directory_epoch(uint64_t& epoch) {
    epoch = chdir_count.load(std::memory_order_relaxed);
    return watching_chdir.load(std::memory_order_relaxed);
}

std::string_view shown_filename(std::string_view filename) {
    // An unreadable working directory (deleted, say) leaves the name as it is.
    std::string_view cwd;
    return read_cwd(cwd) ? relative_to(filename, cwd) : filename;
}

}  // namespace sarv
