// orvtape.Tape: one drive with its image mounted, over ORVtape.
#include <pybind11/stl.h>

#include <optional>
#include <vector>

#include "ORVtape.h"
#include "module.h"

namespace orvpy {
namespace {

// The drive's codes mean different things in different operations; these are
// the operations a Tape method performs, for the wording and the class of a failure.
enum class Op { Write, Forward, Backward, Locate, Rewind };

const char* describe(Op op, int code) {
    switch (code) {
        case -1: return op == Op::Write ? "the flush to storage failed" : "no image mounted";
        case -2: return op == Op::Backward ? "the previous header is unreadable" : "end of data";
        case -3: return "a header carries undefined flag bits";
        case -4: return "at the load point";
        case -10: return "a broken block";
        case -11: return op == Op::Write ? "the image refused a header" : "the seek after the block failed";
        case -12: return op == Op::Write ? "the image refused the payload" : "a payload short or not decodable";
        case -13: return "the block is longer than the record size";
        case -14: return "at block number 0";
        default: return "failed";
    }
}

Failure classify(Op op, int code, int err, bool writeProtected) {
    if (op == Op::Write) {
        if (code == -13) return Failure::TooLong;
        return code == -11 && writeProtected ? Failure::WriteProtected : Failure::IO;
    }
    if (err != 0 || op == Op::Rewind) return Failure::IO;
    if (code == -4 || code == -14) return Failure::LoadPoint;
    if (code == -2 && op != Op::Backward) return Failure::EndOfData;
    return Failure::Format;
}

class Tape {
public:
    Tape(const std::string& path, bool readOnly, bool compress, bool scramble, bool sync,
         std::optional<unsigned> segmentSize, std::optional<unsigned long long> tapeLength)
        : handle(orvTapeCreate()), name(path) {
        int rc;
        {
            py::gil_scoped_release unlocked;
            rc = orvTapeOpen(handle, path.c_str(), readOnly);
        }
        if (rc < 0) {
            const int err = orvTapeGetLastErrno(handle);
            orvTapeDestroy(handle);
            raise(Failure::IO, "open", rc, err, "cannot mount " + path);
        }
        // Settings last until the image is closed, so they are made after the mount.
        orvTapeSetCompress(handle, compress);
        orvTapeSetEncrypt(handle, scramble);
        orvTapeSetSync(handle, sync);
        if (segmentSize) setSegmentSize(*segmentSize);
        if (tapeLength) orvTapeSetMaxTapeLen(handle, *tapeLength);
    }
    ~Tape() {
        if (handle) orvTapeDestroy(handle);
    }
    Tape(const Tape&) = delete;
    Tape& operator=(const Tape&) = delete;

    void close() {
        if (!handle) return;
        int rc;
        {
            py::gil_scoped_release unlocked;
            rc = orvTapeClose(handle);
        }
        const int err = orvTapeGetLastErrno(handle);
        orvTapeDestroy(handle);
        handle = nullptr;
        if (rc < 0) raise(Failure::IO, "close", rc, err, "closing the image failed");
    }
    bool closed() const { return handle == nullptr; }

    int write(const py::object& data) {
        orvTapeHandle h = open("write");
        BorrowedBytes view(data);
        const auto length = view.size();
        if (length == 0) throw py::value_error("write: an empty block is a tapemark: use write_tapemark()");
        if (length > 0x7fffffffULL) raise(Failure::TooLong, "write", -13, 0, describe(Op::Write, -13));
        int rc;
        {
            py::gil_scoped_release unlocked;
            rc = orvTapeWrite(h, view.data(), static_cast<unsigned>(length));
        }
        return check(Op::Write, "write", rc);
    }
    void writeTapemark(unsigned count) {
        orvTapeHandle h = open("write_tapemark");
        int rc;
        {
            py::gil_scoped_release unlocked;
            rc = orvTapeWTM(h, count);
        }
        check(Op::Write, "write_tapemark", rc);
    }

    py::bytes read() {
        orvTapeHandle h = open("read");
        char* into = buffer();
        int rc;
        {
            py::gil_scoped_release unlocked;
            rc = orvTapeRead(h, into, bufferSize());
        }
        check(Op::Forward, "read", rc);
        refuseCut("read", rc);
        return py::bytes(scratch.data(), static_cast<std::size_t>(rc));
    }
    py::bytes readBackward() {
        orvTapeHandle h = open("read_backward");
        char* into = buffer();
        int rc;
        {
            py::gil_scoped_release unlocked;
            rc = orvTapeReadBkwd(h, into, bufferSize());
        }
        check(Op::Backward, "read_backward", rc);
        refuseCut("read_backward", rc);
        // The block arrives at the end of the buffer.
        return py::bytes(scratch.data() + scratch.size() - static_cast<std::size_t>(rc), static_cast<std::size_t>(rc));
    }

    void motion(Op op, const char* name, int (*call)(orvTapeHandle, unsigned), unsigned count) {
        orvTapeHandle h = open(name);
        int rc;
        {
            py::gil_scoped_release unlocked;
            rc = call(h, count);
        }
        check(op, name, rc);
    }
    int locate(int block) {
        orvTapeHandle h = open("locate");
        int rc;
        {
            py::gil_scoped_release unlocked;
            rc = orvTapeLocate(h, block);
        }
        return check(Op::Locate, "locate", rc);
    }
    void rewind() {
        orvTapeHandle h = open("rewind");
        check(Op::Rewind, "rewind", orvTapeREW(h));
    }
    void erase() {
        orvTapeHandle h = open("erase");
        if (orvTapeErase(h) < 0) {
            if (orvTapeIsWrtProt(h)) raise(Failure::WriteProtected, "erase", -1, orvTapeGetLastErrno(h), "read-only image");
            raise(Failure::IO, "erase", -1, orvTapeGetLastErrno(h), "truncation failed");
        }
    }

    py::dict validate() {
        ORVtape* drive = static_cast<ORVtape*>(open("validate"));
        long long lastOffset = -1;
        unsigned char header[6] = {};
        bool multi = false, compressed = false;
        int rc;
        {
            py::gil_scoped_release unlocked;
            rc = drive->validate(&lastOffset, header, &multi, &compressed);
        }
        if (rc == -1) raise(Failure::IO, "validate", rc, drive->lastErrno, "no image mounted");
        py::dict report;
        report["ok"] = rc >= 0;
        report["code"] = rc >= 0 ? 0 : rc;
        report["headers"] = rc >= 0 ? rc : -1;
        report["last_header_offset"] = lastOffset;
        report["last_header"] = py::bytes(reinterpret_cast<const char*>(header), sizeof header);
        report["multi_segment"] = multi;
        report["compressed"] = compressed;
        return report;
    }

    orvTapeHandle open(const char* operation) const {
        if (!handle) raise(Failure::Closed, operation, -1, 0, "the tape is closed");
        return handle;
    }
    void setSegmentSize(unsigned size) {
        if (size > 65535) throw py::value_error("segment_size: at most 65535");
        orvTapeSetMaxSegLen(open("segment_size"), static_cast<unsigned short>(size));
    }
    void setMaxRecordSize(int size) { static_cast<ORVtape*>(open("max_record_size"))->setMaxRecordSize(size); }
    int maxRecordSize() const { return static_cast<ORVtape*>(open("max_record_size"))->maxRecordSize; }
    const std::string& path() const { return name; }

private:
    int check(Op op, const char* operation, int rc) {
        if (rc >= 0) return rc;
        const int err = orvTapeGetLastErrno(handle);
        raise(classify(op, rc, err, orvTapeIsWrtProt(handle)), operation, rc, err, describe(op, rc));
    }
    // The drive hands over only the beginning of a block longer than the
    // buffer; returning that as the block would lose data without a word.
    void refuseCut(const char* operation, int length) {
        if (static_cast<unsigned>(length) > bufferSize())
            raise(Failure::TooLong, operation, length, 0, "the block is longer than max_record_size");
    }
    // Room for the largest block the drive delivers whole.
    char* buffer() {
        const auto need = static_cast<std::size_t>(static_cast<ORVtape*>(handle)->maxRecordSize);
        if (scratch.size() < need) scratch.resize(need);
        return scratch.data();
    }
    unsigned bufferSize() const { return static_cast<unsigned>(scratch.size()); }

    orvTapeHandle handle;
    std::string name;
    std::vector<char> scratch;
};

}  // namespace

void bindDrive(py::module_& m) {
    py::class_<Tape> tape(m, "Tape", R"(One tape drive with an image mounted.

Tape(path, read_only=False, compress=False, scramble=False, sync=False,
     segment_size=None, tape_length=None)

Mounts the image at path (a missing file is created unless read_only; a
file that refuses writing is mounted read-only, see write_protected) and
leaves it at the load point.  The settings apply to the blocks written from
then on.  Use it as a context manager, or call close().  Failures raise
TapeError subclasses; a Tape is used by one thread at a time.)");
    tape.def(py::init<const std::string&, bool, bool, bool, bool, std::optional<unsigned>,
                      std::optional<unsigned long long>>(),
             py::arg("path"), py::arg("read_only") = false, py::arg("compress") = false, py::arg("scramble") = false,
             py::arg("sync") = false, py::arg("segment_size") = py::none(), py::arg("tape_length") = py::none())
        .def("close", &Tape::close, "Unmounts the image; later calls raise TapeClosed.  Safe to repeat.")
        .def("__enter__", [](Tape& t) -> Tape& { return t; }, py::return_value_policy::reference)
        .def("__exit__", [](Tape& t, py::args) { t.close(); })
        .def_property_readonly("closed", &Tape::closed)
        .def_property_readonly("path", &Tape::path)
        .def("write", &Tape::write, py::arg("data"),
             "Writes one block from any bytes-like object (not copied) and cuts the image after it; returns its length.")
        .def("write_tapemark", &Tape::writeTapemark, py::arg("count") = 1, "Writes count tapemarks.")
        .def("read", &Tape::read,
             "Reads the next block.  Returns its bytes, or b'' for a tapemark (a data block is never empty); "
             "raises EndOfData at the end of the data.")
        .def("read_backward", &Tape::readBackward,
             "Reads the block before the position and leaves the tape before it; b'' for a tapemark, "
             "LoadPoint at the beginning.")
        .def("fsr", [](Tape& t, unsigned n) { t.motion(Op::Forward, "fsr", orvTapeFSR, n); }, py::arg("count") = 1,
             "Spaces forward over count blocks (tapemarks count as blocks).")
        .def("fsf", [](Tape& t, unsigned n) { t.motion(Op::Forward, "fsf", orvTapeFSF, n); }, py::arg("count") = 1,
             "Spaces forward past count tapemarks.")
        .def("bsr", [](Tape& t, unsigned n) { t.motion(Op::Backward, "bsr", orvTapeBSR, n); }, py::arg("count") = 1,
             "Spaces backward over count blocks (tapemarks count as blocks).")
        .def("bsf", [](Tape& t, unsigned n) { t.motion(Op::Backward, "bsf", orvTapeBSF, n); }, py::arg("count") = 1,
             "Spaces backward over count tapemarks, stopping before the last one.")
        .def("locate", &Tape::locate, py::arg("block_id"),
             "Moves to the block number block_id (0 or less rewinds); returns the previous block id, 0 when "
             "no motion was needed.")
        .def("rewind", &Tape::rewind, "Back to the load point; block id and file number 0.")
        .def("erase", &Tape::erase, "Cuts the image at the position: everything after it is gone.")
        .def("validate", &Tape::validate, R"(Walks every header from the load point and checks the chain.

Returns a dict: ok, code (0, or the negative code of the defect), headers
(count, -1 on a defect), last_header_offset, last_header (6 bytes),
multi_segment, compressed.  Afterwards the tape is at the load point.)")
        .def_property_readonly("block_id", [](Tape& t) { return orvTapeGetBlockID(t.open("block_id")); })
        .def_property_readonly("file_number", [](Tape& t) { return orvTapeGetFileNumber(t.open("file_number")); })
        .def_property_readonly("bot", [](Tape& t) { return orvTapeIsBOT(t.open("bot")); }, "At the load point.")
        .def_property_readonly("eot", [](Tape& t) { return orvTapeIsEOT(t.open("eot")); },
                               "At or past the end of data, or past tape_length after a write.")
        .def_property_readonly("tapemark", [](Tape& t) { return orvTapeIsTPMK(t.open("tapemark")); },
                               "The last block read, written or spaced over was a tapemark.")
        .def_property_readonly("write_protected", [](Tape& t) { return orvTapeIsWrtProt(t.open("write_protected")); })
        .def_property("segment_size", [](Tape& t) { return orvTapeGetMaxSegLen(t.open("segment_size")); },
                      &Tape::setSegmentSize, "Largest segment payload written (0 means 65535).")
        .def_property("tape_length", [](Tape& t) { return orvTapeGetMaxTapeLen(t.open("tape_length")); },
                      [](Tape& t, unsigned long long n) { orvTapeSetMaxTapeLen(t.open("tape_length"), n); },
                      "Capacity in bytes; writing past it sets eot (0: no end-of-tape test).")
        .def_property("sync", [](Tape& t) { return orvTapeGetSync(t.open("sync")); },
                      [](Tape& t, bool on) { orvTapeSetSync(t.open("sync"), on); },
                      "Flush every block written to storage.")
        .def_property("compress", [](Tape& t) { return orvTapeIsCompressed(t.open("compress")); },
                      [](Tape& t, bool on) { orvTapeSetCompress(t.open("compress"), on); },
                      "Compress (bzip2) blocks written from now on when that makes them shorter.")
        .def_property("scramble", [](Tape& t) { return orvTapeIsEncrypted(t.open("scramble")); },
                      [](Tape& t, bool on) { orvTapeSetEncrypt(t.open("scramble"), on); },
                      "Scramble blocks written from now on.")
        .def_property("max_record_size", &Tape::maxRecordSize, &Tape::setMaxRecordSize,
                      "Largest block written or read whole; only ever raised (at least 4 MiB).");
}

}  // namespace orvpy
