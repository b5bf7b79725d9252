#include "platform/IniFile.h"

#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct IniFixture : ::testing::Test {
    QTemporaryDir dir;
    std::string path() const { return dir.filePath("KvApps.ini").toStdString(); }
    std::string contents() const
    {
        std::ifstream in(path());
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    void write(const std::string& text) const { std::ofstream(path()) << text; }
};

} // namespace

TEST_F(IniFixture, MissingFileGivesDefaults)
{
    TIniFile ini(path());
    EXPECT_EQ(ini.ReadInteger("Kv Glimmerbox Window", "Left", 195), 195);
    EXPECT_EQ(ini.ReadString("S", "K", "dflt"), "dflt");
    EXPECT_TRUE(ini.ReadBool("S", "B", true));
    EXPECT_FALSE(ini.SectionExists("S"));
}

TEST_F(IniFixture, SectionNamesWithSpacesAreWrittenPlainly)
{
    TIniFile ini(path());
    ini.WriteInteger("Kv Glimmerbox Window", "Left", 12);
    ini.WriteBool("Kv Glimmerbox Window", "PrvShow", true);
    ini.WriteInteger("Kv Glimmerbox Thumbnail", "Width", 64);
    EXPECT_EQ(contents(), "[Kv Glimmerbox Window]\nLeft=12\nPrvShow=1\n\n[Kv Glimmerbox Thumbnail]\nWidth=64\n");
}

TEST_F(IniFixture, NamesCompareWithoutCaseAndOtherContentIsKept)
{
    write("; a comment\n[Other]\nx=1\n[kv glimmerbox window]\nLEFT=7\nJunk line\n[Tail]\ny=2\n");
    TIniFile ini(path());
    EXPECT_EQ(ini.ReadInteger("Kv Glimmerbox Window", "left", 0), 7);
    ini.WriteInteger("KV GLIMMERBOX WINDOW", "Left", 8);
    ini.WriteInteger("Kv Glimmerbox Window", "Top", 9);
    EXPECT_EQ(contents(), "; a comment\n[Other]\nx=1\n[kv glimmerbox window]\nLeft=8\nTop=9\nJunk line\n[Tail]\ny=2\n");
}

TEST_F(IniFixture, IntegersBooleansAndBadValues)
{
    write("[S]\nA= 42 \nB=abc\nC=-5\nD=0x10\nT=2\nF=0\nE=\n");
    TIniFile ini(path());
    EXPECT_EQ(ini.ReadInteger("S", "A", 0), 42);
    EXPECT_EQ(ini.ReadInteger("S", "B", 3), 3);
    EXPECT_EQ(ini.ReadInteger("S", "C", 0), -5);
    EXPECT_EQ(ini.ReadInteger("S", "D", 0), 16);
    EXPECT_EQ(ini.ReadInteger("S", "E", 11), 11);
    EXPECT_TRUE(ini.ReadBool("S", "T", false));
    EXPECT_FALSE(ini.ReadBool("S", "F", true));
    EXPECT_TRUE(ini.ReadBool("S", "B", true)); // unreadable: the default
}

TEST_F(IniFixture, EraseSectionAndKeys)
{
    write("[A]\n0=x\n1=y\n[B]\nk=v\n");
    TIniFile ini(path());
    EXPECT_EQ(ini.ReadSection("a"), (std::vector<std::string>{"0", "1"}));
    ini.EraseSection("A");
    EXPECT_EQ(contents(), "[B]\nk=v\n");
    ini.DeleteKey("B", "K");
    EXPECT_EQ(contents(), "[B]\n");
    EXPECT_TRUE(ini.SectionExists("b"));
    EXPECT_FALSE(ini.ValueExists("B", "k"));
}

TEST_F(IniFixture, UnwritableFileRaisesAndKeepsTheOldFile)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root ignores directory permissions";
    write("[S]\nk=1\n");
    ::chmod(dir.path().toLocal8Bit().constData(), 0500);
    TIniFile ini(path());
    EXPECT_THROW(ini.WriteInteger("S", "k", 2), EIniFileException);
    ::chmod(dir.path().toLocal8Bit().constData(), 0700);
    EXPECT_EQ(ini.ReadInteger("S", "k", 0), 1);
}

TEST(IniFile, WriteIntoMissingDirectoryRaisesTheWriteMessage)
{
    TIniFile ini("/nonexistent-dir-for-test/KvApps.ini");
    try {
        ini.WriteInteger("S", "k", 1);
        FAIL() << "no exception";
    } catch (const EIniFileException& e) {
        EXPECT_EQ(e.Message(), "Unable to write to /nonexistent-dir-for-test/KvApps.ini");
    }
}

TEST_F(IniFixture, ByteOrderMarksAreKeptAndSkipped)
{
    // An editor's mark before the first section; a second one made the
    // section vanish once a write had dropped the first.
    for (const std::string marks : {"\xEF\xBB\xBF", "\xEF\xBB\xBF\xEF\xBB\xBF"}) {
        SCOPED_TRACE(marks.size());
        write(marks + "[Kv Glimmerbox Window]\nTop=5\n");
        TIniFile ini(path());
        EXPECT_EQ(ini.ReadInteger("Kv Glimmerbox Window", "Top", 0), 5);
        ini.WriteInteger("Kv Glimmerbox Window", "Left", 10);
        EXPECT_EQ(ini.ReadInteger("Kv Glimmerbox Window", "Left", 0), 10);
        EXPECT_EQ(ini.ReadInteger("Kv Glimmerbox Window", "Top", 0), 5);
        EXPECT_EQ(contents(), marks + "[Kv Glimmerbox Window]\nTop=5\nLeft=10\n");
    }
}
