// messages.h - the library's codes in the tool's words.
#ifndef ORVTAPE_TOOL_IMAGE_MESSAGES_H
#define ORVTAPE_TOOL_IMAGE_MESSAGES_H

#include <string>

namespace orvtool {

// Sentence describing a negative validate code met at a header with these lengths.
std::string validateMessage(int code, unsigned curLen, unsigned prevLen);
// Sentence describing a negative read code.
std::string readMessage(int code);

}  // namespace orvtool

#endif
