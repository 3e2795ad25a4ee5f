// The tape object: defaults, mounting, the read-only fallback, rewind, erase,
// positioning and close.
#include "ORVtape.h"
#include "orvTapeItf.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace testsupport;

TEST(Object, NewImageGetsFiveTapemarks) {
    TempDir dir;
    ORVtape t;
    ASSERT_EQ(t.open(dir.path("new.tape").c_str(), false), 0);
    EXPECT_EQ(t.lastRC, 0);
    EXPECT_EQ(t.blockID, 0);
    EXPECT_EQ(t.fileNumber, 0);
    EXPECT_TRUE(t.bot);
    EXPECT_FALSE(t.eot);
    EXPECT_TRUE(t.tapemark);
    EXPECT_FALSE(t.newImage);
    EXPECT_EQ(t.eodPos, 30);
    t.close();
    Bytes expect;
    for (int i = 0; i < 5; ++i) append(expect, header(0, 0, 0x40, 0));
    EXPECT_EQ(readFile(dir.path("new.tape")), expect);
}
