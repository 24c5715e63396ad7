#include "app/version.h"

#include <gtest/gtest.h>

namespace qx {
namespace {

TEST(VersionText, DropsTrailingZeroParts) {
    EXPECT_EQ(FormatVersion(2, 0, 0, 0), "2.0");
    EXPECT_EQ(FormatVersion(1, 0, 0, 7), "1.0.0.7");
    EXPECT_EQ(FormatVersion(1, 2, 3, 0), "1.2.3");
    EXPECT_EQ(FormatVersion(1, 2, 3, 4), "1.2.3.4");
    EXPECT_EQ(FormatVersion(65535, 65535, 65535, 65535), "65535.65535.65535.65535");
}

TEST(VersionText, DottedTextsOfTheBuild) {
    EXPECT_EQ(FormatVersionText("1.0.0"), "1.0");
    EXPECT_EQ(FormatVersionText("1.2.3"), "1.2.3");
    EXPECT_EQ(FormatVersionText("1.0.0.7"), "1.0.0.7");
    EXPECT_EQ(FormatVersionText("3"), "3.0");
    EXPECT_EQ(FormatVersionText(""), "0.0");
    EXPECT_EQ(FormatVersionText("1.x.70000.2.9"), "1.0.0.2");
    EXPECT_EQ(GetVersionText(), FormatVersionText(QX_VERSION_TEXT));
}

}  // namespace
}  // namespace qx
