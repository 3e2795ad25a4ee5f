// The streaming side of the module: blocks(), files(), Writer, validate()
// and information(), over the library's reader and writer.
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>

#include "ORVtape.h"
#include "TapeInformation.h"
#include "module.h"
#include "orvTapeStream.h"

namespace orvpy {

extern thread_local std::string* consoleCapture;

namespace {

Failure failureOf(int result) {
    switch (result) {
        case ORVTAPE_END: return Failure::EndOfData;
        case ORVTAPE_ERR_NOT_OPEN: return Failure::Closed;
        case ORVTAPE_ERR_IO:
        case ORVTAPE_ERR_STOPPED: return Failure::IO;
        case ORVTAPE_ERR_TRUNCATED:
        case ORVTAPE_ERR_FLAGS:
        case ORVTAPE_ERR_CHAIN:
        case ORVTAPE_ERR_DECODE: return Failure::Format;
        case ORVTAPE_ERR_TOO_LONG: return Failure::TooLong;
        default: return Failure::Tape;
    }
}

[[noreturn]] void raiseResult(const char* operation, int result, int err) {
    raise(failureOf(result), operation, result, result == ORVTAPE_ERR_IO ? err : 0, orvTapeResultMessage(result));
}

// ---- Block and blocks() ----------------------------------------------------
// A block's bytes are handed out where the reader holds them, not copied:
// copying every block would cost as much as reading it.  They stay there
// until the next step only, so each step first retires the previous block:
// its memoryview is released (later use raises ValueError) and its exporter
// refuses new views (BufferError).  A view that cannot be released (a slice,
// an array made from it) stops the step with BufferError instead of showing
// bytes that moved on.  The exporter shares ownership of the reader, so no
// view outlives the buffer it points into.
struct DataExporter {
    PyObject_HEAD
    const char* bytes;
    Py_ssize_t length;
    Py_ssize_t exports;
    bool valid;
    std::shared_ptr<ORVtapeReader>* owner;
};

int exporterGetBuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* e = reinterpret_cast<DataExporter*>(self);
    if (!e->valid) {
        PyErr_SetString(PyExc_BufferError, "block data is valid until the next block: keep bytes(block.data)");
        return -1;
    }
    if (PyBuffer_FillInfo(view, self, const_cast<char*>(e->bytes ? e->bytes : ""), e->length, 1, flags) < 0) return -1;
    ++e->exports;
    return 0;
}

void exporterReleaseBuffer(PyObject* self, Py_buffer*) { --reinterpret_cast<DataExporter*>(self)->exports; }

void exporterDealloc(PyObject* self) {
    delete reinterpret_cast<DataExporter*>(self)->owner;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyTypeObject* exporterType() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {{Py_bf_getbuffer, reinterpret_cast<void*>(exporterGetBuffer)},
                                      {Py_bf_releasebuffer, reinterpret_cast<void*>(exporterReleaseBuffer)},
                                      {Py_tp_dealloc, reinterpret_cast<void*>(exporterDealloc)},
                                      {0, nullptr}};
        static PyType_Spec spec = {"orvtape._BlockData", sizeof(DataExporter), 0, Py_TPFLAGS_DEFAULT, slots};
        return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    }();
    return type;
}

py::object newExporter(const std::shared_ptr<ORVtapeReader>& reader, const unsigned char* bytes, unsigned length) {
    PyObject* raw = PyType_GenericAlloc(exporterType(), 0);
    if (!raw) throw py::error_already_set();
    auto* e = reinterpret_cast<DataExporter*>(raw);
    e->bytes = reinterpret_cast<const char*>(bytes);
    e->length = static_cast<Py_ssize_t>(length);
    e->exports = 0;
    e->valid = true;
    e->owner = new std::shared_ptr<ORVtapeReader>(reader);
    return py::reinterpret_steal<py::object>(raw);
}

struct Block {
    orvTapeBlockInfo info;
    py::object exporter;
    py::object view;

    static PyObject* checked(PyObject* o) {
        if (!o) throw py::error_already_set();
        return o;
    }
    py::tuple transforms() const {
        py::list names;
        if (info.flags2 & HF2_XFORM) {
            if (info.flags2 & HF2_BZ2) names.append("compressed");
            if (info.flags2 & HF2_SCRAMBLE) names.append("scrambled");
        }
        return py::tuple(names);
    }
    // Ends the block's step (self is its Python object, whose data attribute
    // holds the view).  Safe to repeat.
    void retire(PyObject* self) {
        if (view) {
            if (Py_REFCNT(view.ptr()) > 2) {  // held beyond the block: end it for whoever holds it
                PyObject* done = PyObject_CallMethod(view.ptr(), "release", nullptr);
                if (done) Py_DECREF(done);
                else PyErr_Clear();  // the view has exports of its own: they keep the bytes in use
            }
            if (PyObject_GenericSetAttr(self, dataName(), nullptr) < 0) PyErr_Clear();  // later reads: BufferError
            view = py::object();
        }
        reinterpret_cast<DataExporter*>(exporter.ptr())->valid = false;
    }
    // No view of the bytes is left.
    bool released() const { return reinterpret_cast<DataExporter*>(exporter.ptr())->exports == 0; }
    static PyObject* dataName() {
        static PyObject* name = PyUnicode_InternFromString("data");
        return name;
    }
};

class BlockIterator {
public:
    BlockIterator(const std::string& path, bool decode, std::optional<int> maxRecordSize)
        : reader(std::make_shared<ORVtapeReader>()), mode(decode ? ORVTAPE_READ_DECODE : ORVTAPE_READ_STORED) {
        if (maxRecordSize) reader->setMaxRecordSize(*maxRecordSize);
        int rc;
        {
            py::gil_scoped_release unlocked;
            rc = reader->open(path.c_str());
        }
        if (rc != ORVTAPE_OK) raise(Failure::IO, "blocks", rc, reader->lastErrno(), "cannot open " + path);
    }
    ~BlockIterator() { close(); }

    py::object next() {
        if (!reader) raise(Failure::Closed, "blocks", ORVTAPE_ERR_NOT_OPEN, 0, "the iterator is closed");
        if (!retirePrevious())
            throw py::buffer_error("a view made from the previous block's data (a slice, an array) is still in "
                                   "use: copy it with bytes() before the next block");
        orvTapeBlockInfo info = ORVTAPE_BLOCK_INFO_INIT;
        int rc;
        {
            py::gil_scoped_release unlocked;
            rc = reader->next(&info, mode);
        }
        if (rc == ORVTAPE_END) throw py::stop_iteration();
        if (rc < 0) raiseResult("blocks", rc, reader->lastErrno());
        const bool decoded = mode == ORVTAPE_READ_DECODE;
        if (decoded && info.dataLength < static_cast<unsigned>(info.length))
            raise(Failure::TooLong, "blocks", ORVTAPE_ERR_TOO_LONG, 0, "the block is longer than max_record_size");
        py::object exporter = newExporter(reader, decoded ? info.data : info.stored,
                                          decoded ? info.dataLength : info.storedValid);
        info.data = info.stored = nullptr;
        // The view goes into the instance's dict, where reading block.data
        // costs a dict look-up rather than a call.
        py::object view = py::reinterpret_steal<py::object>(Block::checked(PyMemoryView_FromObject(exporter.ptr())));
        previous = py::cast(Block{info, std::move(exporter), view});
        if (PyObject_GenericSetAttr(previous.ptr(), Block::dataName(), view.ptr()) < 0) throw py::error_already_set();
        return previous;
    }
    void close() {
        retirePrevious();
        previous = py::object();
        reader.reset();  // views still in use keep the reader's buffer until they go
    }

private:
    // False while a view of the previous block's bytes is in use: the block
    // stays the previous one, so that every later step is refused as well.
    bool retirePrevious() {
        if (!previous) return true;
        auto& block = previous.cast<Block&>();
        block.retire(previous.ptr());
        if (!block.released()) return false;
        previous = py::object();
        return true;
    }

    std::shared_ptr<ORVtapeReader> reader;
    orvTapeReadMode mode;
    py::object previous;
};

// ---- files() ------------------------------------------------------------------
// Each tape file's bytes, read without the GIL; the volume ends at the end
// of data or at a tapemark right after a tapemark.
class FileIterator {
public:
    FileIterator(const std::string& path, std::optional<int> maxRecordSize) {
        if (maxRecordSize) reader.setMaxRecordSize(*maxRecordSize);
        int rc;
        {
            py::gil_scoped_release unlocked;
            rc = reader.open(path.c_str());
        }
        if (rc != ORVTAPE_OK) raise(Failure::IO, "files", rc, reader.lastErrno(), "cannot open " + path);
    }
    py::bytes next() {
        if (done) throw py::stop_iteration();
        std::string file;
        int rc;
        bool tooLong = false;
        {
            py::gil_scoped_release unlocked;
            orvTapeBlockInfo info = ORVTAPE_BLOCK_INFO_INIT;
            while ((rc = reader.next(&info, ORVTAPE_READ_DECODE)) > 0) {
                if (info.dataLength < static_cast<unsigned>(rc)) {
                    tooLong = true;
                    break;
                }
                file.append(reinterpret_cast<const char*>(info.data), info.dataLength);
                afterTapemark = false;
            }
        }
        if (tooLong) raise(Failure::TooLong, "files", ORVTAPE_ERR_TOO_LONG, 0, "a block is longer than max_record_size");
        if (rc < 0 && rc != ORVTAPE_END) raiseResult("files", rc, reader.lastErrno());
        const bool volumeEnd = rc == ORVTAPE_END ? file.empty() : afterTapemark && file.empty();
        afterTapemark = rc == 0;
        done = rc == ORVTAPE_END;
        if (volumeEnd) {
            done = true;
            throw py::stop_iteration();
        }
        return py::bytes(file);
    }

private:
    ORVtapeReader reader;
    bool afterTapemark = false;
    bool done = false;
};

// ---- Writer -------------------------------------------------------------------
class Writer {
public:
    Writer(const std::string& path, bool append, bool compress, bool scramble, bool sync, unsigned segmentSize,
           std::optional<int> maxRecordSize) {
        writer.setCompress(compress);
        writer.setEncrypt(scramble);
        writer.setSync(sync);
        writer.setMaxSegLen(segmentSize);
        if (maxRecordSize) writer.setMaxRecordSize(*maxRecordSize);
        int rc;
        {
            py::gil_scoped_release unlocked;
            rc = writer.open(path.c_str(), append ? ORVTAPE_AT_END : 0, 0);
        }
        if (rc != ORVTAPE_OK) raiseResult("open", rc, writer.lastErrno());
    }
    int write(const py::object& data) {
        BorrowedBytes view(data);
        const auto length = view.size();
        if (length == 0) throw py::value_error("write: an empty block is a tapemark: use write_tapemark()");
        if (length > 0x7fffffffULL) raiseResult("write", ORVTAPE_ERR_TOO_LONG, 0);
        int rc;
        {
            py::gil_scoped_release unlocked;
            rc = writer.write(view.data(), static_cast<unsigned>(length));
        }
        if (rc < 0) raiseResult("write", rc, writer.lastErrno());
        return rc;
    }
    void writeTapemark(unsigned count) { call("write_tapemark", [&] { return writer.wtm(count); }); }
    void flush() { call("flush", [&] { return writer.flush(); }); }
    void close() { call("close", [&] { return writer.close(); }); }
    long long position() const { return writer.position(); }

private:
    template <class F>
    void call(const char* operation, F f) {
        int rc;
        {
            py::gil_scoped_release unlocked;
            rc = f();
        }
        if (rc < 0) raiseResult(operation, rc, writer.lastErrno());
    }
    ORVtapeWriter writer;
};

// ---- validate() and information() ---------------------------------------------
py::dict validate(const std::string& path) {
    ORVtapeReader reader;
    orvTapeChainReport report = ORVTAPE_CHAIN_REPORT_INIT;
    int rc;
    {
        py::gil_scoped_release unlocked;
        rc = reader.open(path.c_str());
        if (rc == ORVTAPE_OK) rc = reader.validate(&report);
    }
    if (rc == ORVTAPE_ERR_IO) raiseResult("validate", rc, reader.lastErrno());
    py::dict out;
    out["ok"] = rc == ORVTAPE_OK;
    out["code"] = report.driveCode;
    out["result"] = rc == ORVTAPE_OK ? "ok" : orvTapeResultMessage(rc);
    out["headers"] = report.headers;
    out["last_header_offset"] = report.lastHeaderOffset;
    out["last_header"] = py::bytes(reinterpret_cast<const char*>(report.lastHeader), sizeof report.lastHeader);
    out["multi_segment"] = report.multiSegment;
    out["compressed"] = report.compressed;
    return out;
}

py::object blockSize(unsigned value) { return value == 0xFFFFFFFFu ? py::object(py::none()) : py::object(py::int_(value)); }

py::dict fileEntry(const TapeInformation& counts) {
    py::dict file;
    file["blocks"] = counts.fileBlocks;
    file["bytes"] = counts.fileBytes;
    file["min_block"] = blockSize(counts.fileMinBlk);
    file["max_block"] = blockSize(counts.fileMaxBlk);
    return file;
}

// TapeInformation fed with every block up to the end of data, as a host
// would; its counters become the values and its console lines the report.
py::dict information(const std::string& path) {
    ORVtapeReader reader;
    int rc;
    {
        py::gil_scoped_release unlocked;
        rc = reader.open(path.c_str());
    }
    if (rc != ORVTAPE_OK) raise(Failure::IO, "information", rc, reader.lastErrno(), "cannot open " + path);
    TapeInformation counts;
    py::list files;
    std::string lines;
    orvTapeBlockInfo info = ORVTAPE_BLOCK_INFO_INIT;
    for (;;) {
        {
            py::gil_scoped_release unlocked;
            rc = reader.next(&info, ORVTAPE_READ_PASS);
        }
        if (rc < 0) break;
        if (rc == 0) files.append(fileEntry(counts));
        consoleCapture = &lines;
        counts.tally(static_cast<unsigned>(rc));
        consoleCapture = nullptr;
    }
    if (rc != ORVTAPE_END) raiseResult("information", rc, reader.lastErrno());
    consoleCapture = &lines;
    counts.summary();
    consoleCapture = nullptr;
    py::dict out;
    out["files"] = files;
    out["open_file"] = counts.fileBlocks > 0 ? py::object(fileEntry(counts)) : py::none();
    out["min_block"] = blockSize(counts.tapeMinBlk);
    out["max_block"] = blockSize(counts.tapeMaxBlk);
    out["total_bytes"] = counts.totalBytes;
    py::list report;
    for (auto& line : py::str(lines).attr("splitlines")()) report.append(line);
    out["report"] = report;
    return out;
}

}  // namespace

void bindStream(py::module_& m) {
    if (!exporterType()) throw py::error_already_set();
    py::class_<Block>(m, "Block", py::dynamic_attr(), "One block met by blocks(): header facts and its bytes.")
        .def_property_readonly("offset", [](const Block& b) { return b.info.offset; }, "Offset of its first header.")
        .def_property_readonly("end", [](const Block& b) { return b.info.end; }, "Offset just after it.")
        .def_property_readonly("number", [](const Block& b) { return b.info.blockNumber; },
                               "Blocks and tapemarks before it (the drive's block id there).")
        .def_property_readonly("file_number", [](const Block& b) { return b.info.fileNumber; })
        .def_property_readonly("length", [](const Block& b) { return b.info.length; }, "0 for a tapemark.")
        .def_property_readonly("stored_length", [](const Block& b) { return b.info.storedLength; },
                               "Payload bytes in the image.")
        .def_property_readonly("segments", [](const Block& b) { return b.info.segments; })
        .def_property_readonly("flags2", [](const Block& b) { return b.info.flags2; })
        .def_property_readonly("tapemark", [](const Block& b) { return b.info.tapemark; })
        .def_property_readonly("transforms", &Block::transforms, "('compressed', 'scrambled') as stored.")
        // data is an instance attribute while the block is current (see next());
        // afterwards the look-up falls through to here.
        .def("__getattr__", [](const Block&, const std::string& name) -> py::object {
            if (name == "data") throw py::buffer_error("block data is valid until the next block: keep bytes(block.data)");
            throw py::attribute_error("'Block' object has no attribute '" + name + "'");
        })
        .def("__bytes__", [](Block& b) {
            PyObject* copy = PyBytes_FromObject(b.view ? b.view.ptr() : b.exporter.ptr());
            if (!copy) throw py::error_already_set();
            return py::reinterpret_steal<py::bytes>(copy);
        })
        .def("__len__", [](const Block& b) { return b.info.length; })
        .def("__repr__", [](const Block& b) {
            return "<Block " + std::to_string(b.info.blockNumber) + " file " + std::to_string(b.info.fileNumber) +
                   (b.info.tapemark ? " tapemark" : " length " + std::to_string(b.info.length)) + ">";
        });

    py::class_<BlockIterator>(m, "BlockIterator", "Iterator of blocks(); a context manager that closes the image.")
        .def("__iter__", [](BlockIterator& it) -> BlockIterator& { return it; }, py::return_value_policy::reference)
        .def("__next__", &BlockIterator::next)
        .def("close", &BlockIterator::close)
        .def("__enter__", [](BlockIterator& it) -> BlockIterator& { return it; }, py::return_value_policy::reference)
        .def("__exit__", [](BlockIterator& it, py::args) { it.close(); });
    m.def("blocks", [](const std::string& path, bool decode, std::optional<int> maxRecordSize) {
              return new BlockIterator(path, decode, maxRecordSize);
          },
          py::arg("path"), py::arg("decode") = true, py::arg("max_record_size") = py::none(),
          py::return_value_policy::take_ownership, R"(Walks the image at path block by block from the load point.

Yields Block objects; data is the decoded block, or its stored payload when
decode is False.  A damaged block raises FormatError; the end of data ends
the iteration.  Works without holding the GIL while reading and decoding.)");

    py::class_<FileIterator>(m, "FileIterator", "Iterator of files().")
        .def("__iter__", [](FileIterator& it) -> FileIterator& { return it; }, py::return_value_policy::reference)
        .def("__next__", &FileIterator::next);
    m.def("files", [](const std::string& path, std::optional<int> maxRecordSize) {
              return new FileIterator(path, maxRecordSize);
          },
          py::arg("path"), py::arg("max_record_size") = py::none(), py::return_value_policy::take_ownership,
          "Yields each tape file's bytes (its blocks joined), file 0 first, up to the end of the volume "
          "(a tapemark right after a tapemark) or of the data.");

    py::class_<Writer>(m, "Writer", R"(Writes a volume sequentially, through a buffer.

Writer(path, append=False, compress=False, scramble=False, sync=False,
       segment_size=0, max_record_size=None)

Writes from the load point (the image is created or replaced once the first
bytes go out), or after the volume's last block when append is set.  The
image is the drive's, byte for byte.  Use it as a context manager: leaving
it closes the image, which holds every block written.)")
        .def(py::init<const std::string&, bool, bool, bool, bool, unsigned, std::optional<int>>(), py::arg("path"),
             py::arg("append") = false, py::arg("compress") = false, py::arg("scramble") = false,
             py::arg("sync") = false, py::arg("segment_size") = 0, py::arg("max_record_size") = py::none())
        .def("write", &Writer::write, py::arg("data"), "Appends one block from any bytes-like object; returns its length.")
        .def("write_tapemark", &Writer::writeTapemark, py::arg("count") = 1)
        .def("flush", &Writer::flush, "Writes out the buffer: the image is a whole volume as far as written.")
        .def("close", &Writer::close, "Flushes and closes; safe to repeat.")
        .def_property_readonly("position", &Writer::position, "Offset after the last block (-1 when closed).")
        .def("__enter__", [](Writer& w) -> Writer& { return w; }, py::return_value_policy::reference)
        .def("__exit__", [](Writer& w, py::args) { w.close(); });

    m.def("validate", &validate, py::arg("path"), R"(Checks the header chain of the image at path, as Tape.validate.

Returns a dict: ok, code (the drive's code of the defect, 0 when none),
result (a short text), headers (accepted), last_header_offset, last_header,
multi_segment, compressed.)");
    m.def("information", &information, py::arg("path"), R"(Block statistics of the volume at path.

Returns a dict: files (one dict per tapemark-closed file: blocks, bytes,
min_block, max_block), open_file (the blocks after the last tapemark, or
None), min_block, max_block, total_bytes and report, the report's lines.)");
}

}  // namespace orvpy
