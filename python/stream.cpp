// The streaming side of the module: files(), Writer, validate()
// and information(), over the library's reader and writer (blocks() is in
// blocks.cpp).
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

}  // namespace

[[noreturn]] void raiseResult(const char* operation, int result, int err) {
    raise(failureOf(result), operation, result, result == ORVTAPE_ERR_IO ? err : 0, orvTapeResultMessage(result));
}

namespace {

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
    bindBlocks(m);

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
