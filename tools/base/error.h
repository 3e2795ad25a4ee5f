// error.h - how a command fails: one line on standard error and an exit
// status.  Knows nothing of images, formats or commands.
#ifndef ORVTAPE_TOOL_BASE_ERROR_H
#define ORVTAPE_TOOL_BASE_ERROR_H

#include <stdexcept>
#include <string>

namespace orvtool {

// Exit statuses shared by every command.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // a failure on the volume's content, or a defect found by check
constexpr int kExitUsage = 2;    // bad arguments, or a named file cannot be opened or created; every error of check

// A failure that ends the command: one line on standard error, then exit.
class ToolError : public std::runtime_error {
public:
    ToolError(const std::string& file, const std::string& what, int status = kExitFailure)
        : std::runtime_error(file.empty() ? what : file + ": " + what), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

// "(library code C, <errno in words>)": the cause part of an error line.
// Code 0 stands for a failure outside the library: only errno is shown.
std::string cause(int code, int err);
// strerror with the symbolic name in front where it helps.
std::string errnoWords(int err);

}  // namespace orvtool

#endif
