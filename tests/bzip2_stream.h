// A bzip2 stream made by libbz2 directly, with the parameters the tape
// format uses (block size 9, work factor 0): the independent reference for
// the library's compressed payloads.
#ifndef ORV_TESTS_BZIP2_STREAM_H
#define ORV_TESTS_BZIP2_STREAM_H

#include "support.h"

#include <bzlib.h>
#include <stdexcept>

namespace testsupport {

inline Bytes bzip2(const Bytes& plain) {
    Bytes out(plain.size() + plain.size() / 100 + 700);
    unsigned int len = static_cast<unsigned int>(out.size());
    char none = 0;  // libbz2 wants a source pointer even for no bytes
    char* src = plain.empty() ? &none : reinterpret_cast<char*>(const_cast<unsigned char*>(plain.data()));
    if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &len, src,
                                 static_cast<unsigned int>(plain.size()), 9, 0, 0) != BZ_OK)
        throw std::runtime_error("bzip2 failed");
    out.resize(len);
    return out;
}

}  // namespace testsupport

#endif  // ORV_TESTS_BZIP2_STREAM_H
