// messages.cpp - the library's codes in the tool's words, and the host
// function through which the library prints its report lines.
#include "image/messages.h"

#include <cstdarg>
#include <cstdio>

extern "C" void writeConsoleLog(int level, const char* messageId, const char* format, ...) {
    (void)level;
    (void)messageId;
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
}

namespace orvtool {

std::string validateMessage(int code, unsigned curLen, unsigned prevLen) {
    switch (code) {
    case -2:
        return "the image ends inside this header: fewer than 6 bytes remain";
    case -3:
        return "the header has reserved flag bits set, so it is not a header at all or is corrupt";
    case -10:
        return "a tapemark header also carries a block start or block end flag";
    case -11:
        return "a tapemark header carries transform flags";
    case -12:
        return "a tapemark header has a payload length of " + std::to_string(curLen) +
               " instead of 0";
    case -14:
        return "a data block begins with an empty segment";
    case -15:
        return "a tapemark stands inside a data block: the block before it has no last segment";
    case -16:
        return "a new block begins inside a data block: the block before it has no last segment";
    case -17:
        return "an empty segment stands inside a data block";
    case -18:
        return "the header says the segment before it holds " + std::to_string(prevLen) +
               " bytes, which does not match: the chain of headers is broken here";
    case -20:
        return "the block's first header has transform bits without the transform flag";
    case -21:
        return "a segment of a compressed block lacks the compression flag";
    case -22:
        return "a segment of a scrambled block lacks the scrambling flag";
    default:
        return "the image cannot be walked";
    }
}

std::string readMessage(int code) {
    switch (code) {
    case -2: return "the image ends inside a header, or the read failed";
    case -3: return "a header has reserved flag bits set";
    case -10: return "the block's headers do not form a proper block";
    case -12: return "the block's payload is cut short or does not decompress";
    default: return "the block cannot be read";
    }
}

}  // namespace orvtool
