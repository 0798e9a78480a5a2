#include "values/api.hpp"

#include <cstring>

namespace sarv::values {
namespace {

bool is_function_of(PyObject* function, const char* module_name, const char* function_name) {
    if (!PyCFunction_Check(function)) {
        return false;
    }
    PyObject* self = PyCFunction_GET_SELF(function);
    if (self == nullptr || !PyModule_Check(self)) {
        return false;
    }
    PyModuleDef* def = PyModule_GetDef(self);
    auto* method = reinterpret_cast<PyCFunctionObject*>(function)->m_ml;
    return def != nullptr && def->m_name != nullptr && std::strcmp(def->m_name, module_name) == 0 &&
           method != nullptr && std::strcmp(method->ml_name, function_name) == 0;
}

}  // namespace

NativeEncoders speedups_encoders(PyObject* function, bool lightweight) {
    // Strong references, so an identity test cannot be fooled by a reused address; never
    // destroyed, since the interpreter may be gone by the time static objects are.
    struct Found {
        Ref function;
        NativeEncoders encoders;
    };
    static Found* found = new Found[2];
    Found& slot = found[lightweight ? 1 : 0];
    if (function == slot.function.get()) {
        return slot.encoders;
    }
    if (!is_function_of(function, "sarv._speedups", lightweight ? "dump_msgpack_lightweight_repr" : "dump_msgpack")) {
        return {};
    }
    slot.function = Ref::borrow(function);
    slot.encoders =
        lightweight ? NativeEncoders{encode_light, encode_entries_light} : NativeEncoders{encode, encode_entries};
    return slot.encoders;
}

}  // namespace sarv::values
