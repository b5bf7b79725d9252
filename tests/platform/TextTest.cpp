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

TEST(Text, ByteCutsEndOnACharacterBoundary)
{
    EXPECT_EQ(Utf8LeftBytes("abc", 3), "abc");
    EXPECT_EQ(Utf8LeftBytes("abc", 2), "ab");
    EXPECT_EQ(Utf8LeftBytes("a😀b", 4), "a");      // the emoji's 4 bytes do not fit
    EXPECT_EQ(Utf8LeftBytes("a😀b", 5), "a😀");
    EXPECT_EQ(Utf8LeftBytes("жж", 3), "ж");
    EXPECT_EQ(Utf8LeftBytes("ж", 0), "");
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

TEST(Paths, SafeFileNameKeepsAJoinedPathInItsFolder)
{
    EXPECT_EQ(SafeFileName("Sunset"), "Sunset");
    EXPECT_EQ(SafeFileName("my.cat ärger"), "my.cat ärger");
    EXPECT_EQ(SafeFileName("../../etc/passwd"), ".._.._etc_passwd");
    EXPECT_EQ(SafeFileName("C:\\x\\y"), "C__x_y");
    EXPECT_EQ(SafeFileName("a*b?c\"d<e>f|g"), "a_b_c_d_e_f_g");
    EXPECT_EQ(SafeFileName("tab\there\x7f\nend"), "tab_here__end");
    EXPECT_EQ(SafeFileName(""), "_");
    EXPECT_EQ(SafeFileName("."), "_");
    EXPECT_EQ(SafeFileName(".."), "__");
    EXPECT_EQ(SafeFileName("..."), "___");
    EXPECT_EQ(SafeFileName(".hidden"), ".hidden");
    EXPECT_EQ(SafeFileName("con"), "_con");
    EXPECT_EQ(SafeFileName("NUL.txt"), "_NUL.txt");
    EXPECT_EQ(SafeFileName("Com7"), "_Com7");
    EXPECT_EQ(SafeFileName("COM0"), "COM0");
    EXPECT_EQ(SafeFileName("console"), "console");
}
