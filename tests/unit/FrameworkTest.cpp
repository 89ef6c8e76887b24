#include "../../framework/DottedAddress.h"
#include "../../framework/Path.h"
#include <gtest/gtest.h>

namespace {

TEST(DottedAddress, AcceptsOnlyFourPartsOfAtMostThreeDigitsUpTo255)
{
    std::uint32_t address = 0;
    ASSERT_TRUE(ParseDottedAddress("198.18.0.2", &address));
    EXPECT_EQ(0xC6120002u, address);
    ASSERT_TRUE(ParseDottedAddress("255.255.255.255", &address));
    EXPECT_EQ(0xFFFFFFFFu, address);
    for (const char* bad : { "", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", "a.b.c.d",
                             "1..2.3", "0001.2.3.4", "1.2.3.-4" })
        EXPECT_FALSE(ParseDottedAddress(bad, &address)) << bad;
}

TEST(ExecutablePath, LastBackslashIsNeverTheTrailByteOfAGbkCharacter)
{
    // B1 5C is one GBK character whose trail byte is a backslash.
    std::string path = "C:\\dir\\\xB1\x5C";
    EXPECT_EQ(6u, FindLastBackslash(path));
    EXPECT_EQ(std::string::npos, FindLastBackslash("\xB1\x5C"));
    EXPECT_EQ("unit_tests", GetExecutableBaseName());
}

}
