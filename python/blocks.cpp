// blocks(): the streaming walk as a Python iterator.  The two types here are
// written against the C API directly, not through the binding layer: a walk
// over large blocks costs little more than reading them, so every step's
// overhead (call dispatch, instance set-up, attribute look-ups) shows in the
// walk's speed.
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>

#include "ORVtape.h"
#include "module.h"
#include "orvTapeStream.h"

namespace orvpy {
namespace {

// The reader, shared by the iterator and every block it made: a block's
// bytes lie in the reader's buffer, so the reader lives until the last of
// them is gone, also when the iterator was closed before.
struct ReaderBox {
    PyObject_HEAD
    ORVtapeReader* reader;
};

// One block.  Its bytes are handed out where the reader holds them, not
// copied: copying every block would cost as much as reading it.  They stay
// there until the next step only, so each step first retires the previous
// block: its memoryview is released (later use raises ValueError) and the
// block refuses new views (BufferError).  A view that cannot be released (a
// slice, an array made from it) stops the step with BufferError instead of
// showing bytes that moved on.
struct BlockObject {
    PyObject_HEAD
    orvTapeBlockInfo info;
    const char* bytes;
    Py_ssize_t length;
    Py_ssize_t exports;  // buffers of the block in use
    bool valid;          // the block is the iterator's current one
    PyObject* view;      // block.data, made at its first use
    PyObject* box;
};

struct IteratorObject {
    PyObject_HEAD
    PyObject* box;       // null once closed
    orvTapeReadMode mode;
    BlockObject* current;
};

PyTypeObject* boxType;
PyTypeObject* blockType;
PyTypeObject* iteratorType;

const char* const kStale = "block data is valid until the next block: keep bytes(block.data)";

// Runs f, turning a C++ exception into the Python error it carries; null then.
template <class F>
PyObject* guarded(F f) {
    try {
        return f();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

void boxDealloc(PyObject* self) {
    delete reinterpret_cast<ReaderBox*>(self)->reader;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- Block ----------------------------------------------------------------------
BlockObject* asBlock(PyObject* self) { return reinterpret_cast<BlockObject*>(self); }

int blockGetBuffer(PyObject* self, Py_buffer* view, int flags) {
    BlockObject* b = asBlock(self);
    if (!b->valid) {
        PyErr_SetString(PyExc_BufferError, kStale);
        return -1;
    }
    if (PyBuffer_FillInfo(view, self, const_cast<char*>(b->bytes ? b->bytes : ""), b->length, 1, flags) < 0) return -1;
    ++b->exports;
    return 0;
}

void blockReleaseBuffer(PyObject* self, Py_buffer*) { --asBlock(self)->exports; }

// Ends the block's step; safe to repeat.
void retire(BlockObject* b) {
    if (b->view) {
        if (Py_REFCNT(b->view) > 1) {  // held beyond the block: end it for whoever holds it
            PyObject* done = PyObject_CallMethod(b->view, "release", nullptr);
            if (done) Py_DECREF(done);
            else PyErr_Clear();  // the view has exports of its own: they keep the bytes in use
        }
        Py_CLEAR(b->view);
    }
    b->valid = false;
}

void blockDealloc(PyObject* self) {
    BlockObject* b = asBlock(self);
    Py_XDECREF(b->view);
    Py_XDECREF(b->box);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* blockData(PyObject* self, void*) {
    BlockObject* b = asBlock(self);
    if (!b->view) {
        if (!b->valid) {
            PyErr_SetString(PyExc_BufferError, kStale);
            return nullptr;
        }
        b->view = PyMemoryView_FromObject(self);
        if (!b->view) return nullptr;
    }
    Py_INCREF(b->view);
    return b->view;
}

PyObject* blockTransforms(PyObject* self, void*) {
    const unsigned flags = asBlock(self)->info.flags2;
    const bool xform = flags & HF2_XFORM;
    const bool compressed = xform && (flags & HF2_BZ2), scrambled = xform && (flags & HF2_SCRAMBLE);
    PyObject* names = PyTuple_New(compressed + scrambled);
    if (!names) return nullptr;
    Py_ssize_t i = 0;
    if (compressed) PyTuple_SET_ITEM(names, i++, PyUnicode_FromString("compressed"));
    if (scrambled) PyTuple_SET_ITEM(names, i++, PyUnicode_FromString("scrambled"));
    return names;
}

template <class T, T orvTapeBlockInfo::*field>
PyObject* blockNumber(PyObject* self, void*) {
    return PyLong_FromLongLong(static_cast<long long>(asBlock(self)->info.*field));
}

PyObject* blockTapemark(PyObject* self, void*) { return PyBool_FromLong(asBlock(self)->info.tapemark); }

PyObject* blockBytes(PyObject* self, PyObject*) { return PyBytes_FromObject(self); }

Py_ssize_t blockLength(PyObject* self) { return asBlock(self)->info.length; }

PyObject* blockRepr(PyObject* self) {
    const orvTapeBlockInfo& i = asBlock(self)->info;
    std::string text = "<Block " + std::to_string(i.blockNumber) + " file " + std::to_string(i.fileNumber) +
                       (i.tapemark ? " tapemark" : " length " + std::to_string(i.length)) + ">";
    return PyUnicode_FromString(text.c_str());
}

// ---- BlockIterator ----------------------------------------------------------------
IteratorObject* asIterator(PyObject* self) { return reinterpret_cast<IteratorObject*>(self); }
ORVtapeReader& readerOf(const IteratorObject* it) { return *reinterpret_cast<ReaderBox*>(it->box)->reader; }

// False while a view of the current block's bytes is in use: the block stays
// the current one, so that every later step is refused as well.
bool retireCurrent(IteratorObject* it) {
    if (!it->current) return true;
    retire(it->current);
    if (it->current->exports != 0) return false;
    Py_CLEAR(it->current);
    return true;
}

void closeIterator(IteratorObject* it) {
    retireCurrent(it);
    Py_CLEAR(it->current);
    Py_CLEAR(it->box);  // views still in use keep the reader's buffer until they go
}

PyObject* iteratorNext(PyObject* self) {
    return guarded([&]() -> PyObject* {
        IteratorObject* it = asIterator(self);
        if (!it->box) raise(Failure::Closed, "blocks", ORVTAPE_ERR_NOT_OPEN, 0, "the iterator is closed");
        if (!retireCurrent(it))
            throw py::buffer_error("a view made from the previous block's data (a slice, an array) is still in "
                                   "use: copy it with bytes() before the next block");
        ORVtapeReader& reader = readerOf(it);
        orvTapeBlockInfo info = ORVTAPE_BLOCK_INFO_INIT;
        int rc;
        Py_BEGIN_ALLOW_THREADS rc = reader.next(&info, it->mode);
        Py_END_ALLOW_THREADS
        if (rc == ORVTAPE_END) return nullptr;  // no error set: the iteration ends
        if (rc < 0) raiseResult("blocks", rc, reader.lastErrno());
        const bool decoded = it->mode == ORVTAPE_READ_DECODE;
        if (decoded && info.dataLength < static_cast<unsigned>(info.length))
            raise(Failure::TooLong, "blocks", ORVTAPE_ERR_TOO_LONG, 0, "the block is longer than max_record_size");
        auto* b = reinterpret_cast<BlockObject*>(PyType_GenericAlloc(blockType, 0));
        if (!b) throw py::error_already_set();
        b->bytes = reinterpret_cast<const char*>(decoded ? info.data : info.stored);
        b->length = static_cast<Py_ssize_t>(decoded ? info.dataLength : info.storedValid);
        info.data = info.stored = nullptr;
        b->info = info;
        b->valid = true;
        Py_INCREF(it->box);
        b->box = it->box;
        it->current = b;
        Py_INCREF(b);
        return reinterpret_cast<PyObject*>(b);
    });
}

PyObject* iteratorClose(PyObject* self, PyObject*) {
    closeIterator(asIterator(self));
    Py_RETURN_NONE;
}

PyObject* iteratorEnter(PyObject* self, PyObject*) {
    Py_INCREF(self);
    return self;
}

PyObject* iteratorExit(PyObject* self, PyObject*) { return iteratorClose(self, nullptr); }

void iteratorDealloc(PyObject* self) {
    closeIterator(asIterator(self));
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyTypeObject* makeType(const char* name, int size, PyType_Slot* slots) {
    PyType_Spec spec = {name, size, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (!type) throw py::error_already_set();
    return type;
}

void makeTypes() {
    static PyType_Slot boxSlots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(boxDealloc)}, {0, nullptr}};
    boxType = makeType("orvtape._Reader", sizeof(ReaderBox), boxSlots);

    using Info = orvTapeBlockInfo;
    static PyGetSetDef blockGetters[] = {
        {"data", blockData, nullptr, "The block's bytes, valid until the iterator moves on.", nullptr},
        {"offset", blockNumber<long long, &Info::offset>, nullptr, "Offset of its first header.", nullptr},
        {"end", blockNumber<long long, &Info::end>, nullptr, "Offset just after it.", nullptr},
        {"number", blockNumber<long long, &Info::blockNumber>, nullptr,
         "Blocks and tapemarks before it (the drive's block id there).", nullptr},
        {"file_number", blockNumber<long long, &Info::fileNumber>, nullptr, nullptr, nullptr},
        {"length", blockNumber<int, &Info::length>, nullptr, "0 for a tapemark.", nullptr},
        {"stored_length", blockNumber<unsigned, &Info::storedLength>, nullptr, "Payload bytes in the image.", nullptr},
        {"segments", blockNumber<unsigned, &Info::segments>, nullptr, nullptr, nullptr},
        {"flags2", blockNumber<unsigned char, &Info::flags2>, nullptr, nullptr, nullptr},
        {"tapemark", blockTapemark, nullptr, nullptr, nullptr},
        {"transforms", blockTransforms, nullptr, "('compressed', 'scrambled') as stored.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyMethodDef blockMethods[] = {{"__bytes__", blockBytes, METH_NOARGS, "A copy of the block's bytes."},
                                         {nullptr, nullptr, 0, nullptr}};
    static PyType_Slot blockSlots[] = {
        {Py_tp_doc, const_cast<char*>("One block met by blocks(): header facts and its bytes.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(blockDealloc)},
        {Py_tp_getset, blockGetters},
        {Py_tp_methods, blockMethods},
        {Py_tp_repr, reinterpret_cast<void*>(blockRepr)},
        {Py_sq_length, reinterpret_cast<void*>(blockLength)},
        {Py_bf_getbuffer, reinterpret_cast<void*>(blockGetBuffer)},
        {Py_bf_releasebuffer, reinterpret_cast<void*>(blockReleaseBuffer)},
        {0, nullptr}};
    blockType = makeType("orvtape.Block", sizeof(BlockObject), blockSlots);

    static PyMethodDef iteratorMethods[] = {
        {"close", iteratorClose, METH_NOARGS, "Closes the image; the current block's data goes with it."},
        {"__enter__", iteratorEnter, METH_NOARGS, nullptr},
        {"__exit__", iteratorExit, METH_VARARGS, nullptr},
        {nullptr, nullptr, 0, nullptr}};
    static PyType_Slot iteratorSlots[] = {
        {Py_tp_doc, const_cast<char*>("Iterator of blocks(); a context manager that closes the image.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(iteratorDealloc)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(iteratorNext)},
        {Py_tp_methods, iteratorMethods},
        {0, nullptr}};
    iteratorType = makeType("orvtape.BlockIterator", sizeof(IteratorObject), iteratorSlots);
}

py::object openBlocks(const std::string& path, bool decode, std::optional<int> maxRecordSize) {
    auto reader = std::make_unique<ORVtapeReader>();
    if (maxRecordSize) reader->setMaxRecordSize(*maxRecordSize);
    int rc;
    {
        py::gil_scoped_release unlocked;
        rc = reader->open(path.c_str());
    }
    if (rc != ORVTAPE_OK) raise(Failure::IO, "blocks", rc, reader->lastErrno(), "cannot open " + path);
    auto box = py::reinterpret_steal<py::object>(PyType_GenericAlloc(boxType, 0));
    if (!box) throw py::error_already_set();
    reinterpret_cast<ReaderBox*>(box.ptr())->reader = reader.release();
    auto it = py::reinterpret_steal<py::object>(PyType_GenericAlloc(iteratorType, 0));
    if (!it) throw py::error_already_set();
    asIterator(it.ptr())->box = box.release().ptr();
    asIterator(it.ptr())->mode = decode ? ORVTAPE_READ_DECODE : ORVTAPE_READ_STORED;
    return it;
}

}  // namespace

void bindBlocks(py::module_& m) {
    makeTypes();
    m.attr("Block") = py::handle(reinterpret_cast<PyObject*>(blockType));
    m.attr("BlockIterator") = py::handle(reinterpret_cast<PyObject*>(iteratorType));
    m.def("blocks", &openBlocks, py::arg("path"), py::arg("decode") = true, py::arg("max_record_size") = py::none(),
          R"(Walks the image at path block by block from the load point.

Yields Block objects; data is the decoded block, or its stored payload when
decode is False.  A damaged block raises FormatError; the end of data ends
the iteration.  Works without holding the GIL while reading and decoding.)");
}

}  // namespace orvpy
