// The block codec: the drive's encode and decode sequences on work buffers
// of the codec's own, so that codecs on different threads share nothing.
#include "orvTapeStream.h"

#include "ORVtape.h"
#include "../tape/format.h"

#include <cstring>

struct ORVTAPE_LOCAL ORVtapeCodec::Impl {
    ORVtape::OrvTapeWorkBuffer cmp;  // compressed form, and the unscrambled one while decoding
    ORVtape::OrvTapeWorkBuffer enc;  // scrambled form
    ORVtape::OrvTapeWorkBuffer out;  // decoded block
    int maxRecordSize = orv::kMinRecordSize;
};

namespace {

constexpr unsigned char kLevel = 9;  // the drive's bzip2 block size

// A flags2 that a block's first header may carry: no reserved bits, and
// transform bits only together with XFORM.
bool blockFlags2(unsigned char f) {
    const unsigned char h[orv::kHeaderSize] = {0, 0, 0, 0, HF1_BOR, f};
    return !orv::hasReservedBits(h) && orv::checkFirstHeader(h) == 0;
}

}  // namespace

ORVtapeCodec::ORVtapeCodec() : impl(new Impl) {}
ORVtapeCodec::~ORVtapeCodec() { delete impl; }
ORVtapeCodec::ORVtapeCodec(ORVtapeCodec&& other) noexcept : impl(other.impl) { other.impl = nullptr; }
ORVtapeCodec& ORVtapeCodec::operator=(ORVtapeCodec&& other) noexcept {
    if (this != &other) {
        delete impl;
        impl = other.impl;
        other.impl = nullptr;
    }
    return *this;
}

void ORVtapeCodec::setMaxRecordSize(int size) {
    if (impl && size > impl->maxRecordSize) impl->maxRecordSize = size;
}

int ORVtapeCodec::encode(const void* data, unsigned int length, bool compress, bool scramble,
                         const unsigned char** stored, unsigned char* flags2) {
    if (!impl) return ORVTAPE_ERR_NOT_OPEN;
    if ((data == nullptr && length > 0) || stored == nullptr || flags2 == nullptr) return ORVTAPE_ERR_ARGUMENT;
    if (length > static_cast<unsigned int>(impl->maxRecordSize)) return ORVTAPE_ERR_TOO_LONG;
    const orv::Encoded e = orv::encodeBlock(impl->cmp, impl->enc, impl->maxRecordSize, kLevel, data, length,
                                            compress, scramble);
    *stored = reinterpret_cast<const unsigned char*>(e.payload);
    *flags2 = orv::diskFlags2(e.xform);
    return static_cast<int>(e.length);
}

int ORVtapeCodec::length(const void* stored, unsigned int storedLength, unsigned char flags2) {
    if (!impl) return ORVTAPE_ERR_NOT_OPEN;
    if (stored == nullptr && storedLength > 0) return ORVTAPE_ERR_ARGUMENT;
    if (!blockFlags2(flags2)) return ORVTAPE_ERR_FLAGS;
    // A payload beyond what a result can carry is no block, as for the drive.
    if (storedLength > static_cast<unsigned int>(INT_MAX)) return ORVTAPE_ERR_DECODE;
    const unsigned char xform = orv::blockTransform(flags2);
    if (!(xform & HF2_BZ2)) return static_cast<int>(storedLength);
    // The prefix is all a length needs: at most five bytes, unscrambled here.
    unsigned char prefix[5];
    const unsigned int n = storedLength < sizeof prefix ? storedLength : sizeof prefix;
    if (xform & HF2_SCRAMBLE)
        orv::scramble(prefix, static_cast<const unsigned char*>(stored), n);
    else if (n > 0)
        std::memcpy(prefix, stored, n);
    const int r = orv::decompressBlock(prefix, n, nullptr, 0);
    return r < 0 ? ORVTAPE_ERR_DECODE : r;
}

int ORVtapeCodec::decode(const void* stored, unsigned int storedLength, unsigned char flags2,
                         const unsigned char** data, unsigned int* dataLength) {
    if (data) *data = nullptr;
    if (dataLength) *dataLength = 0;
    if (impl && (data == nullptr || dataLength == nullptr)) return ORVTAPE_ERR_ARGUMENT;
    const int len = length(stored, storedLength, flags2);
    if (len < 0) return len;
    // Delivered as the drive reads into a buffer of the maximum record size:
    // a longer block comes as its beginning, with its full length.
    const int limit = impl->maxRecordSize;
    const unsigned int room = static_cast<unsigned int>(len < limit ? len : limit);
    const unsigned char xform = orv::blockTransform(flags2);
    const auto* in = static_cast<const unsigned char*>(stored);
    const unsigned char* outData = in;
    if (xform) {
        auto* out = reinterpret_cast<unsigned char*>(impl->out.getBfr(static_cast<int>(room), limit));
        unsigned char* scratch = nullptr;
        int scratchCap = 0;
        if (xform == (HF2_BZ2 | HF2_SCRAMBLE)) {
            scratch = reinterpret_cast<unsigned char*>(impl->cmp.getBfr(static_cast<int>(storedLength), limit));
            scratchCap = impl->cmp.capacity;
        }
        if (orv::decodeBlock(in, storedLength, xform, scratch, scratchCap, reinterpret_cast<char*>(out), limit) < 0)
            return ORVTAPE_ERR_DECODE;
        outData = out;
    }
    *data = outData;
    *dataLength = room;
    return len;
}
