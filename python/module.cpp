// The orvtape Python module: exception classes and the module's entry point.
#include "module.h"

#include <pybind11/eval.h>

#include <cstdarg>
#include <cstring>

namespace orvpy {
namespace {

// Written in Python so that the classes behave as users expect of exceptions
// (pickling of args, __str__), while C++ only instantiates them.
const char* const kExceptionSource = R"(
class TapeError(Exception):
    """A library call failed.

    code is the library's negative result (per operation for the drive, the
    named stream results for blocks(), files() and Writer), errno the saved
    system error (0 when none) and operation the call that failed."""
    def __init__(self, message, code=0, errno=0, operation=""):
        super().__init__(message, code, errno, operation)
        self.code, self.errno, self.operation = code, errno, operation
    def __str__(self):
        return self.args[0]

class EndOfData(TapeError):
    """Reading or spacing forward met the end of the recorded data."""

class LoadPoint(TapeError):
    """Backward motion met the load point (the beginning of the tape)."""

class WriteProtected(TapeError):
    """The image is mounted read-only."""

class FormatError(TapeError):
    """The image is damaged here: headers that do not chain, undefined flag
    bits, a cut block or a payload that does not decode."""

class BlockTooLong(TapeError):
    """The block is longer than the record size allowed."""

class TapeIOError(TapeError):
    """A system call on the image failed; errno says why."""

class TapeClosed(TapeError, ValueError):
    """The tape, writer or iterator was used after close()."""
)";

// Leaked on purpose: the classes live as long as the interpreter, and
// dropping references during its teardown would be unsafe.
PyObject* classes[8] = {};
const char* const kClassNames[8] = {"TapeError", "EndOfData",    "LoadPoint",  "WriteProtected",
                                     "FormatError", "BlockTooLong", "TapeIOError", "TapeClosed"};

}  // namespace

void raise(Failure kind, const char* operation, int code, int err, const std::string& what) {
    std::string message = std::string(operation) + ": " + what;
    if (err != 0) message += std::string(": ") + std::strerror(err);
    message += " (code " + std::to_string(code) + ")";
    py::handle cls(classes[static_cast<int>(kind)]);
    py::object error = cls(message, code, err, operation);
    PyErr_SetObject(cls.ptr(), error.ptr());
    throw py::error_already_set();
}

void bindErrors(py::module_& m) {
    py::dict scope;
    scope["__builtins__"] = py::module_::import("builtins");
    scope["__name__"] = "orvtape";
    py::exec(kExceptionSource, scope);
    for (int i = 0; i < 8; ++i) {
        py::object cls = scope[kClassNames[i]];
        classes[i] = cls.inc_ref().ptr();
        m.attr(kClassNames[i]) = cls;
    }
}

}  // namespace orvpy

// The library reports TapeInformation's lines through this host function.
// Python has none, so the module supplies it and hands each line to the
// capture that information() set up on this thread.
namespace orvpy {
thread_local std::string* consoleCapture = nullptr;
}

extern "C" __attribute__((visibility("default"))) void writeConsoleLog(int, const char*, const char* format, ...) {
    if (!orvpy::consoleCapture) return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    *orvpy::consoleCapture += line;
}

PYBIND11_MODULE(_orvtape, m) {
    m.doc() = "Emulated magnetic tape volumes kept in one image file.";
    orvpy::bindErrors(m);
    orvpy::bindDrive(m);
    orvpy::bindStream(m);
}
