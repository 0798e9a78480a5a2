// The identity of the thread a record comes from.
#pragma once

#include "common.hpp"

#include <string>

namespace sarv {

struct ThreadInfo {
    std::string name;
    size_t native_id = 0;
};

// threading.current_thread() (null with the error set), `threading` set to the module.
Ref current_thread_object(Ref& threading);
// (name, native id) of threading.current_thread().
bool current_thread(ThreadInfo& out);
// A thread's name and native id, as threading gives them, checked and converted.
bool thread_info_of(PyObject* name, PyObject* native_id, ThreadInfo& out);

}  // namespace sarv
