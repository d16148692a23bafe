#include <quenor/version.h>

#include <gtest/gtest.h>

#include <string>

// The header, the library and the package (the build's project version) say the same, and
// version numbers order like the versions, each part outranking the next.
TEST(Version, HeaderLibraryAndPackageAgreeAndNumbersCompareLikeVersions) {
    EXPECT_EQ(QUENOR_VERSION, quenor::versionNumber());
    EXPECT_STREQ(QUENOR_VERSION_STRING, quenor::versionString());
    EXPECT_EQ(std::string(QUENOR_PACKAGE_VERSION), quenor::versionString());
    EXPECT_LT(QUENOR_VERSION_CHECK(1, 2, 255), QUENOR_VERSION_CHECK(1, 3, 0));
    EXPECT_LT(QUENOR_VERSION_CHECK(1, 255, 255), QUENOR_VERSION_CHECK(2, 0, 0));
}
