// zcodec.cpp - whole-block zlib and bzip2 compression for the het format.
#include "zcodec.h"

#include <bzlib.h>
#include <zlib.h>

#include <climits>

namespace orvtool {

namespace {

constexpr size_t kFirstOutput = 64 * 1024;

// Next output size: doubling, capped at limit.  0 when the limit is reached.
size_t grow(size_t have, size_t limit) {
    if (have >= limit) return 0;
    return std::min(limit, std::max(kFirstOutput, have * 2));
}

std::string inflateBlock(const unsigned char* data, size_t n, size_t limit, std::vector<unsigned char>& out,
                         size_t* length) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return "zlib cannot start";
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(n);
    size_t done = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (done == out.size()) {
            size_t next = grow(out.size(), limit + 1);  // one spare byte tells "too long"
            if (next == 0) break;
            out.resize(next);
        }
        z.next_out = out.data() + done;
        z.avail_out = static_cast<uInt>(std::min<size_t>(out.size() - done, UINT_MAX));
        rc = inflate(&z, Z_NO_FLUSH);
        done = static_cast<size_t>(z.total_out);
    }
    size_t left = z.avail_in;
    inflateEnd(&z);
    *length = done;
    if (done > limit) rc = Z_OK;
    if (rc == Z_STREAM_END)
        return left ? "the zlib stream ends before the block's stored bytes" : "";
    if (rc == Z_OK) return "it expands to more than the block limit (--max-block)";
    return rc == Z_BUF_ERROR ? "the zlib stream is cut short" : "the zlib stream is corrupt";
}

std::string bunzipBlock(const unsigned char* data, size_t n, size_t limit, std::vector<unsigned char>& out,
                        size_t* length) {
    bz_stream b{};
    if (BZ2_bzDecompressInit(&b, 0, 0) != BZ_OK) return "bzip2 cannot start";
    b.next_in = reinterpret_cast<char*>(const_cast<unsigned char*>(data));
    b.avail_in = static_cast<unsigned>(n);
    size_t done = 0;
    int rc = BZ_OK;
    while (rc == BZ_OK) {
        if (done == out.size()) {
            size_t next = grow(out.size(), limit + 1);  // one spare byte tells "too long"
            if (next == 0) break;
            out.resize(next);
        }
        unsigned before = b.avail_in;
        b.next_out = reinterpret_cast<char*>(out.data() + done);
        b.avail_out = static_cast<unsigned>(std::min<size_t>(out.size() - done, UINT_MAX));
        unsigned room = b.avail_out;
        rc = BZ2_bzDecompress(&b);
        done += room - b.avail_out;
        // No input left and no output made: the stream is cut short.
        if (rc == BZ_OK && b.avail_in == 0 && before == 0 && room == b.avail_out) {
            rc = BZ_UNEXPECTED_EOF;
            break;
        }
    }
    size_t left = b.avail_in;
    BZ2_bzDecompressEnd(&b);
    *length = done;
    if (done > limit) rc = BZ_OK;
    if (rc == BZ_STREAM_END)
        return left ? "the bzip2 stream ends before the block's stored bytes" : "";
    if (rc == BZ_OK) return "it expands to more than the block limit (--max-block)";
    return rc == BZ_UNEXPECTED_EOF ? "the bzip2 stream is cut short" : "the bzip2 stream is corrupt";
}

}  // namespace

bool compressBlock(Packing method, int level, const unsigned char* data, size_t n, std::vector<unsigned char>& out) {
    if (method == Packing::Zlib) {
        uLongf len = compressBound(static_cast<uLong>(n));
        if (out.size() < len) out.resize(len);
        if (compress2(out.data(), &len, data, static_cast<uLong>(n),
                      level ? level : Z_DEFAULT_COMPRESSION) != Z_OK)
            return false;
        out.resize(len);
    } else if (method == Packing::Bzip2) {
        unsigned len = static_cast<unsigned>(n + n / 100 + 600);
        if (out.size() < len) out.resize(len);
        if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &len,
                                     reinterpret_cast<char*>(const_cast<unsigned char*>(data)),
                                     static_cast<unsigned>(n), level ? level : 9, 0, 0) != BZ_OK)
            return false;
        out.resize(len);
    } else {
        return false;
    }
    return out.size() < n;
}

std::string expandBlock(Packing method, const unsigned char* data, size_t n, size_t limit,
                        std::vector<unsigned char>& out, size_t* length) {
    *length = 0;
    if (method == Packing::Zlib) return inflateBlock(data, n, limit, out, length);
    return bunzipBlock(data, n, limit, out, length);
}

}  // namespace orvtool
