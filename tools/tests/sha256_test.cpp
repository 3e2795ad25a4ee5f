// The standard's vectors, whole and fed in pieces of odd sizes.
#include "base/sha256.h"

#include <gtest/gtest.h>

namespace orvtool {

TEST(Sha256, StandardVectors) {
    const std::string million(1000000, 'a');
    const struct {
        std::string text;
        std::size_t piece;  // bytes per update
        const char* digest;
    } rows[] = {
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 3, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 56,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 5,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(55, 'a'), 55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},  // its padding just fits the last chunk
        {million, 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {million, 997, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {million, 63, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    Sha256 h;
    for (const auto& r : rows) {
        for (std::size_t at = 0; at < r.text.size(); at += r.piece)
            h.update(r.text.data() + at, std::min(r.piece, r.text.size() - at));
        EXPECT_EQ(h.hex(), r.digest) << r.text.size() << " bytes by " << r.piece;
    }
}

}  // namespace orvtool
