#include "profiler/document.hpp"
#include "profiler/chunk_memory.hpp"
#include "profiler/record_list.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace sarv {

void DocumentParts::write(const char* data, size_t size) {
    if (size == 0) {
        return;
    }
    size_ += size;
    if (size >= REFER_FROM) {
        parts_.push_back(Part{std::string_view(data, size)});
        return;
    }
    if (parts_.empty() || parts_.back().owned == NOT_OWNED) {
        owned_.emplace_back();
        parts_.push_back(Part{{}, owned_.size() - 1});
    }
    owned_.back().append(data, size);
}

void DocumentParts::refer_file(const std::shared_ptr<const SpoolFile>& file, uint64_t offset, size_t size) {
    if (size == 0) {
        return;
    }
    size_ += size;
    Part part;
    part.file = file.get();
    part.file_offset = offset;
    part.file_size = size;
    parts_.push_back(part);
}

namespace {

// The most a piece holds; long parts (runs of records) are cut into several pieces.
constexpr size_t PIECE = size_t{1} << 20;

// The memory of a piece, read through a read-only memoryview. A new megabyte for every
// piece would be fresh memory each time (malloc maps blocks this large anew, a page fault
// per 4 KiB): a buffer nobody holds a view of any more is filled again instead, while one
// still held is left as it is.
struct PyPieceBuffer {
    PyObject_HEAD ChunkMemory memory;  // mapped with its pages in place: no fault per page
    Py_ssize_t size;
    Py_ssize_t exports;
};

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* b = reinterpret_cast<PyPieceBuffer*>(self);
    if (PyBuffer_FillInfo(view, self, b->memory.data(), b->size, 1, flags) < 0) {
        return -1;
    }
    ++b->exports;
    return 0;
}

void buffer_release(PyObject* self, Py_buffer*) { --reinterpret_cast<PyPieceBuffer*>(self)->exports; }

void buffer_dealloc(PyObject* self) {
    reinterpret_cast<PyPieceBuffer*>(self)->memory.~ChunkMemory();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // heap types are owned by their instances
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

PyType_Slot buffer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(buffer_release)},
    {0, nullptr},
};

PyType_Spec buffer_spec = {
    "sarv._sarv.DocumentPieceBuffer", sizeof(PyPieceBuffer), 0, Py_TPFLAGS_DEFAULT, buffer_slots,
};

// A new instance of the heap type made from `spec` (at first use; `type` keeps it for the
// life of the process), zero-filled.
Ref new_instance(PyTypeObject*& type, PyType_Spec& spec) {
    if (type == nullptr) {
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
        if (type == nullptr) {
            return {};
        }
    }
    return Ref::steal(type->tp_alloc(type, 0));
}

// A piece that is a run of records where they lie: its buffer is memory of the document's
// keeper, which it holds.
struct PyPieceView {
    PyObject_HEAD std::shared_ptr<const void> keeper;
    const char* data;
    Py_ssize_t size;
};

int view_get(PyObject* self, Py_buffer* view, int flags) {
    auto* v = reinterpret_cast<PyPieceView*>(self);
    return PyBuffer_FillInfo(view, self, const_cast<char*>(v->data), v->size, 1, flags);
}

void view_dealloc(PyObject* self) {
    reinterpret_cast<PyPieceView*>(self)->keeper.~shared_ptr();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // heap types are owned by their instances
}

PyType_Slot view_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(view_get)},
    {0, nullptr},
};

PyType_Spec view_spec = {
    "sarv._sarv.DocumentPieceView", sizeof(PyPieceView), 0, Py_TPFLAGS_DEFAULT, view_slots,
};

Ref piece_view(const std::shared_ptr<const void>& keeper, std::string_view bytes) {
    static PyTypeObject* type = nullptr;
    Ref obj = new_instance(type, view_spec);
    if (!obj) {
        return {};
    }
    auto* v = reinterpret_cast<PyPieceView*>(obj.get());
    new (&v->keeper) std::shared_ptr<const void>(keeper);
    v->data = bytes.data();
    v->size = static_cast<Py_ssize_t>(bytes.size());
    return obj;
}

// A buffer of at least `size` bytes: `reusable` when no one else holds it or a view of it
// and it is large enough.
Ref piece_buffer(Ref& reusable, size_t size) {
    if (reusable && Py_REFCNT(reusable.get()) == 1) {
        auto* b = reinterpret_cast<PyPieceBuffer*>(reusable.get());
        if (b->exports == 0 && b->memory.capacity() >= size) {
            return reusable;
        }
    }
    static PyTypeObject* type = nullptr;
    Ref obj = new_instance(type, buffer_spec);
    if (!obj) {
        return {};
    }
    auto* b = reinterpret_cast<PyPieceBuffer*>(obj.get());
    new (&b->memory) ChunkMemory();
    try {
        b->memory = ChunkMemory::allocate(size);  // (a small document's one piece: no more)
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {};
    }
    reusable = obj;
    return obj;
}

struct PyDocumentPieces {
    PyObject_HEAD std::shared_ptr<const void> keeper;  // owns `parts`
    const DocumentParts* parts;
    size_t next;    // the first part not wholly handed out yet
    size_t offset;  // how much of it was
    size_t record_count;
    size_t tail_offset;
    PyObject* edge_records;  // owned; released in pieces_dealloc
    PyObject* buffer;        // owned (or null): the last piece's buffer, refilled when free
};

PyObject* pieces_next(PyObject* self) {
    auto* it = reinterpret_cast<PyDocumentPieces*>(self);
    const DocumentParts* parts = it->parts;
    if (it->next >= parts->part_count()) {
        return nullptr;  // StopIteration
    }
    if (parts->referred(it->next)) {
        std::string_view part = parts->part(it->next).substr(it->offset);
        size_t n = std::min(part.size(), PIECE);
        Ref view = piece_view(it->keeper, part.substr(0, n));
        if (!view) {
            return nullptr;
        }
        if (n == part.size()) {
            ++it->next;
            it->offset = 0;
        } else {
            it->offset += n;
        }
        return PyMemoryView_FromObject(view.get());
    }
    // Parts copied when the document was written (headers, short runs) are gathered into
    // one piece up to the next referred part.
    // (Parts in a spool file are read into the piece likewise.)
    size_t size = 0;
    for (size_t i = it->next, offset = it->offset; i < parts->part_count() && !parts->referred(i) && size < PIECE;
         ++i, offset = 0) {
        size += std::min(parts->part_size(i) - offset, PIECE - size);
    }
    Ref reusable = Ref::steal(std::exchange(it->buffer, nullptr));
    Ref buffer = piece_buffer(reusable, size);
    it->buffer = reusable.release();
    if (!buffer) {
        return nullptr;
    }
    reinterpret_cast<PyPieceBuffer*>(buffer.get())->size = static_cast<Py_ssize_t>(size);
    char* at = reinterpret_cast<PyPieceBuffer*>(buffer.get())->memory.data();
    size_t left = size;
    while (left > 0) {
        size_t part_left = parts->part_size(it->next) - it->offset;
        size_t n = std::min(part_left, left);
        if (const SpoolFile* file = parts->in_file(it->next)) {
            try {
                read_spool_file(file->fd, at, n, parts->file_offset(it->next) + it->offset);
            } catch (const SpoolReadError& e) {
                errno = e.error;
                return PyErr_SetFromErrno(PyExc_OSError);
            }
        } else {
            std::memcpy(at, parts->part(it->next).data() + it->offset, n);
        }
        at += n;
        left -= n;
        if (n == part_left) {
            ++it->next;
            it->offset = 0;
        } else {
            it->offset += n;
        }
    }
    return PyMemoryView_FromObject(buffer.get());
}

PyObject* pieces_get_size(PyObject* self, void*) {
    return PyLong_FromSize_t(reinterpret_cast<PyDocumentPieces*>(self)->parts->size());
}

PyObject* pieces_get_record_count(PyObject* self, void*) {
    return PyLong_FromSize_t(reinterpret_cast<PyDocumentPieces*>(self)->record_count);
}

PyObject* pieces_get_tail_offset(PyObject* self, void*) {
    return PyLong_FromSize_t(reinterpret_cast<PyDocumentPieces*>(self)->tail_offset);
}

PyObject* pieces_get_edge_records(PyObject* self, void*) {
    return Ref::borrow(reinterpret_cast<PyDocumentPieces*>(self)->edge_records).release();
}

void pieces_dealloc(PyObject* self) {
    // Taken out of the object before the release, which may run Python code.
    Ref edges = Ref::steal(std::exchange(reinterpret_cast<PyDocumentPieces*>(self)->edge_records, nullptr));
    Ref buffer = Ref::steal(std::exchange(reinterpret_cast<PyDocumentPieces*>(self)->buffer, nullptr));
    edges.reset();
    buffer.reset();
    reinterpret_cast<PyDocumentPieces*>(self)->keeper.~shared_ptr();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // heap types are owned by their instances
}

PyGetSetDef pieces_getset[] = {
    {"size", pieces_get_size, nullptr, "the document's length in bytes", nullptr},
    {"record_count", pieces_get_record_count, nullptr, "the number of records in the document", nullptr},
    {"tail_offset", pieces_get_tail_offset, nullptr, "where the entries after the records begin", nullptr},
    {"edge_records", pieces_get_edge_records, nullptr, "the first records of frames_of_interest and its last, as bytes",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot pieces_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pieces_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(pieces_next)},
    {Py_tp_getset, pieces_getset},
    {0, nullptr},
};

PyType_Spec pieces_spec = {
    "sarv._sarv.DocumentPieces", sizeof(PyDocumentPieces), 0, Py_TPFLAGS_DEFAULT, pieces_slots,
};

}  // namespace

Ref new_document_pieces(std::shared_ptr<const void> keeper, const DocumentParts* parts, size_t record_count,
                        size_t tail_offset, Ref edge_records) {
    static PyTypeObject* type = nullptr;
    Ref obj = new_instance(type, pieces_spec);
    if (!obj) {
        return {};
    }
    auto* it = reinterpret_cast<PyDocumentPieces*>(obj.get());
    new (&it->keeper) std::shared_ptr<const void>(std::move(keeper));
    it->parts = parts;
    it->next = 0;
    it->offset = 0;
    it->record_count = record_count;
    it->tail_offset = tail_offset;
    it->edge_records = edge_records.release();
    it->buffer = nullptr;
    return obj;
}

}  // namespace sarv
