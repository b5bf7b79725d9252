#include "platform/Paths.h"
#include "platform/Text.h"

#include <gtest/gtest.h>

TEST(Text, LengthsAndCutsCountCharactersNotBytes)
{
    EXPECT_EQ(Utf8Length("abc"), 3u);
    EXPECT_EQ(Utf8Length("Übung日本"), 7u);
    EXPECT_EQ(Utf8Left("Übung日本語", 6), "Übung日");
    EXPECT_EQ(Utf8Left("ab", 5), "ab");
    EXPECT_EQ(Utf8Left("😀😀", 1), "😀");
}

TEST(Text, SameTextIgnoresCaseBeyondAscii)
{
    EXPECT_TRUE(SameText("photo", "PHOTO"));
    EXPECT_TRUE(SameText("ÄRGER", "ärger"));
    EXPECT_FALSE(SameText("photo", "photos"));
}

TEST(Paths, SeparatorsAndNames)
{
    EXPECT_EQ(IncludeTrailingSeparator("C:\\WINDOWS"), "C:\\WINDOWS/");
    EXPECT_EQ(IncludeTrailingSeparator("C:\\WINDOWS\\"), "C:\\WINDOWS\\");
    EXPECT_EQ(IncludeTrailingSeparator("/tmp/"), "/tmp/");
    EXPECT_EQ(ExtractFileName("/a/b/c.gmb"), "c.gmb");
    EXPECT_EQ(ExtractFileName("C:\\x\\y.bmp"), "y.bmp");
    EXPECT_EQ(ExtractFileExt("/a.b/c"), "");
    EXPECT_EQ(ExtractFileExt("x.tar.gz"), ".gz");
    const std::string tmp = SystemTempPath();
    EXPECT_EQ(tmp.back(), '/');
}
