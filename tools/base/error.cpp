// error.cpp - the wording of causes in error lines.
#include "error.h"

#include <cstring>

namespace orvtool {

std::string errnoWords(int err) { return std::strerror(err); }

std::string cause(int code, int err) {
    if (code == 0) return "(" + (err ? errnoWords(err) : std::string("unknown cause")) + ")";
    std::string s = "(library code " + std::to_string(code);
    if (err != 0) s += ", " + errnoWords(err);
    return s + ")";
}

}  // namespace orvtool
