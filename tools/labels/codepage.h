// codepage.h - EBCDIC code page 037 and Latin-1, one to one both ways: the
// code of standard labels, and of the text that put converts and get
// converts back.
#ifndef ORVTAPE_TOOL_LABELS_CODEPAGE_H
#define ORVTAPE_TOOL_LABELS_CODEPAGE_H

#include <string>

namespace orvtool {

unsigned char ebcdicToLatin1(unsigned char c);
unsigned char latin1ToEbcdic(unsigned char c);
std::string toLatin1(const std::string& ebcdic);
std::string toEbcdic(const std::string& latin1);

}  // namespace orvtool

#endif
