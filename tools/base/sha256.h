// sha256.h - SHA-256 over a stream of bytes, for the sums that get --all,
// ls --sum and check --manifest give of tape files.  No dependency: the
// tool would need one only for this.
#ifndef ORVTAPE_TOOL_BASE_SHA256_H
#define ORVTAPE_TOOL_BASE_SHA256_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace orvtool {

class Sha256 {
public:
    Sha256();
    // Adds n bytes; whole 64-byte blocks are hashed where they lie.
    void update(const void* data, std::size_t n);
    // The digest as 64 lowercase hex digits; the object starts anew after it.
    std::string hex();

private:
    void compress(const unsigned char* block);

    std::array<std::uint32_t, 8> state_;
    unsigned char pending_[64];
    std::size_t held_ = 0;     // bytes in pending_
    std::uint64_t total_ = 0;  // bytes added
};

}  // namespace orvtool

#endif
