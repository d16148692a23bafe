#include <quenor/status.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

// Every status is named with its hex code and a meaning; the sign-widened form that records carry
// and the plain 32-bit form read the same; anything unknown keeps its number.
TEST(Status, NamesKnownCodesAndKeepsTheNumberOfUnknownOnes) {
    struct Row {
        std::int64_t status;
        const char* text;
    };
    const Row rows[] = {
        {0, "kIOReturnSuccess (0x00000000): success"},
        {-536870183, "kIOReturnNotAttached (0xE00002D9): the device is gone"},
        {0xE00002D9, "kIOReturnNotAttached (0xE00002D9): the device is gone"},
        {-536870195, "kIOReturnNotOpen (0xE00002CD): the device is not open"},
        {-536870186, "kIOReturnTimeout (0xE00002D6): timed out: the device did not answer in time"},
        {0xE000404F,
         "kIOUSBPipeStalled (0xE000404F): the device stalled the pipe: it refused the request"},
        {0x12345678, "0x12345678: unknown status"},
        {-1, "0xFFFFFFFF: unknown status"},
        {std::int64_t{1} << 32, "0x0000000100000000: unknown status"},
        {INT64_MIN, "0x8000000000000000: unknown status"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.text, quenor::describeStatus(row.status)) << row.status;
    }
    // Every status vmac and the device code produce has a name; the one a user can fix says where.
    for (std::uint32_t code : {0xE00002BCu, 0xE00002BDu, 0xE00002BEu, 0xE00002C0u, 0xE00002C1u,
                               0xE00002C2u, 0xE00002C5u, 0xE00002C7u, 0xE00002E2u, 0xE00002EBu}) {
        const std::string text = quenor::describeStatus(static_cast<std::int32_t>(code));
        EXPECT_EQ(0u, text.rfind("kIO", 0)) << text;
    }
    EXPECT_NE(std::string::npos,
              quenor::describeStatus(-536870174)
                  .find("Input Monitoring in System Settings > Privacy & Security"));
}
