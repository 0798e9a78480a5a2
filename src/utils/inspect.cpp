#include "utils/inspect.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <ctime>

namespace sarv {
namespace {

// Splits a path into components the way path comparison sees them: a leading root, then
// the non-empty parts that are not ".". Each component is a view into the original text.
struct Component {
    std::string_view text;
    size_t end;  // offset just past this component in the original
};

std::vector<Component> components(std::string_view path) {
    std::vector<Component> parts;
    size_t i = 0;
    if (!path.empty() && path[0] == '/') {
        parts.push_back({path.substr(0, 1), 1});
        i = 1;
    }
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) {
            j = path.size();
        }
        std::string_view part = path.substr(i, j - i);
        if (!part.empty() && part != ".") {
            parts.push_back({part, j});
        }
        i = j + 1;
    }
    return parts;
}

bool read_cwd(std::string& out) {
    thread_local std::vector<char> buffer(4096);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
    out.assign(buffer.data());
    return true;
}

}  // namespace

std::string_view relative_to(std::string_view filename, std::string_view cwd) {
    auto base = components(cwd);
    auto file = components(filename);
    if (base.empty() || base.size() > file.size()) {
        return filename;
    }
    for (size_t i = 0; i < base.size(); ++i) {
        if (base[i].text != file[i].text) {
            return filename;
        }
    }
    std::string_view rest = filename.substr(base.back().end);
    while (!rest.empty() && (rest.front() == '/' || rest.starts_with("./"))) {
        rest.remove_prefix(rest.front() == '/' ? 1 : 2);
    }
    if (rest == ".") {
        rest = {};
    }
    return rest;
}

bool filename_with_lineno(PyFrameObject* frame, std::string_view filename, std::string& out) {
    int line = PyFrame_GetLineNumber(frame);
    if (line < 0) {
        // f_lineno reads as None here; a line number is required.
        PyErr_SetString(PyExc_TypeError, "'NoneType' object cannot be interpreted as an integer");
        return false;
    }
    // An unreadable working directory (deleted, say) leaves the name as it is.
    thread_local std::string cwd;
    std::string_view shown = read_cwd(cwd) ? relative_to(filename, cwd) : filename;
    out.assign(shown);
    out.push_back(':');
    char digits[16];
    auto result = std::to_chars(digits, digits + sizeof(digits), line);
    out.append(digits, result.ptr);
    return true;
}

bool current_thread(ThreadInfo& out) {
    const Names& n = names();
    Ref threading = import_module(n.mod_threading);
    if (!threading) {
        return false;
    }
    Ref thread = Ref::steal(PyObject_CallMethodNoArgs(threading.get(), n.current_thread));
    if (!thread) {
        return false;
    }
    Ref name = Ref::steal(PyObject_GetAttr(thread.get(), n.name));
    if (!name) {
        return false;
    }
    std::string text;
    if (!PyUnicode_Check(name.get())) {
        raise_conversion_error(name.get(), "PyString");
        return false;
    }
    if (!utf8_lossy(name.get(), text)) {
        return false;
    }
    Ref native_id = Ref::steal(PyObject_GetAttr(thread.get(), n.native_id));
    if (!native_id) {
        return false;
    }
    size_t id = 0;
    if (!PyLong_Check(native_id.get())) {
        raise_not_an_integer(native_id.get());
        return false;
    }
    if (!to_usize(native_id.get(), id)) {
        return false;
    }
    out.name = std::move(text);
    out.native_id = id;
    return true;
}

double timestamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool user_code_call_site(const CallStack& stack, const std::optional<PrefixedId>& frame_id,
                         std::optional<CallSite>& out) {
    out.reset();
    if (!frame_id || stack.empty()) {
        return true;
    }
    const CallFrame* candidate = &stack.back();
    if (candidate->frame_id == *frame_id) {
        if (stack.size() == 1) {
            return true;
        }
        candidate = &stack[stack.size() - 2];
        if (candidate->frame_id == *frame_id) {
            return true;
        }
    }
    PyObject* frame = candidate->frame.get();
    if (!PyFrame_Check(frame)) {
        raise_conversion_error(frame, "PyFrame");
        return false;
    }
    int line = PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(frame));
    if (line < 0) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object cannot be interpreted as an integer");
        return false;
    }
    out = CallSite{candidate->frame_id, line};
    return true;
}

}  // namespace sarv
