// Shared pieces of the Python module: the exception classes and the parts
// that bind the drive and the streaming objects.
#ifndef ORVTAPE_PYTHON_MODULE_H
#define ORVTAPE_PYTHON_MODULE_H

#include <pybind11/pybind11.h>

#include <string>

namespace py = pybind11;

namespace orvpy {

/** Which Python exception a failure becomes; each is a TapeError. */
enum class Failure { Tape, EndOfData, LoadPoint, WriteProtected, Format, TooLong, IO, Closed };

/** Raises the exception of kind, carrying the library's code, errno and the operation. */
[[noreturn]] void raise(Failure kind, const char* operation, int code, int err, const std::string& what);

/** A caller's bytes-like object, borrowed without a copy for as long as this lives. */
class BorrowedBytes {
public:
    explicit BorrowedBytes(const py::object& data) {
        if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) < 0) throw py::error_already_set();
    }
    ~BorrowedBytes() { PyBuffer_Release(&view); }
    BorrowedBytes(const BorrowedBytes&) = delete;
    BorrowedBytes& operator=(const BorrowedBytes&) = delete;
    const void* data() const { return view.buf; }
    unsigned long long size() const { return static_cast<unsigned long long>(view.len); }

private:
    Py_buffer view;
};

/** Raises the exception for a streaming result (ORVTAPE_ERR_...). */
[[noreturn]] void raiseResult(const char* operation, int result, int err);

void bindErrors(py::module_& m);
void bindBlocks(py::module_& m);
void bindDrive(py::module_& m);
void bindStream(py::module_& m);

}  // namespace orvpy

#endif
