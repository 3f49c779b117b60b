#include "ByteCount.h"

#include <gtest/gtest.h>
#include <limits>

using larkhold::formatByteCount;

namespace {

struct Case {
    std::int64_t bytes;
    const char* text;
};

// Amounts the vault's messages actually show: tier capacities, file sizes, items near unit
// boundaries, and the extremes of the type.
TEST(ByteCount, WritesMemoryStyleAmounts) {
    const Case cases[] = {
        {0, "0 bytes"},
        {1, "1 byte"},
        {2, "2 bytes"},
        {1023, "1,023 bytes"},
        {1024, "1 KB"},
        {1536, "2 KB"},          // KB shows no decimals
        {1'024'000, "1,000 KB"}, // thousands are grouped
        {1'047'552, "1,023 KB"},
        {1'048'575, "1 MB"}, // would round to 1,024 KB
        {1'048'576, "1 MB"},
        {1'572'864, "1.5 MB"},
        {1'153'434, "1.1 MB"},
        {2'097'392, "2 MB"},
        {5'242'880, "5 MB"},
        {10'486'000, "10 MB"},
        {52'428'800, "50 MB"},
        {104'857'840, "100 MB"},
        {1'073'741'824, "1 GB"},
        {1'342'177'280, "1.25 GB"},
        {1'395'864'371, "1.3 GB"}, // 1.30 GB, the trailing zero dropped
        {std::numeric_limits<std::int64_t>::max(), "8 EB"},
        {-1'572'864, "-1.5 MB"},
        {std::numeric_limits<std::int64_t>::min(), "-8 EB"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(formatByteCount(c.bytes).toStdString(), c.text) << c.bytes;
}

TEST(ByteCount, RoundsHalfToEven) {
    EXPECT_EQ(formatByteCount(2560).toStdString(), "2 KB");        // 2.5 KB
    EXPECT_EQ(formatByteCount(3584).toStdString(), "4 KB");        // 3.5 KB
    EXPECT_EQ(formatByteCount(1'101'004).toStdString(), "1 MB");   // 1.04999… MB
    EXPECT_EQ(formatByteCount(1'101'005).toStdString(), "1.1 MB"); // 1.05000… MB
}

} // namespace
