#include "platform/Exception.h"
#include "platform/Stream.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(MemoryStream, ReadWriteSeekAndSize)
{
    TMemoryStream s;
    s.WriteBuffer("hello", 5);
    EXPECT_EQ(s.Size(), 5);
    EXPECT_EQ(s.Position(), 5);
    s.SetPosition(1);
    char buf[8] = {};
    EXPECT_EQ(s.Read(buf, 8), 4);
    EXPECT_STREQ(buf, "ello");
    EXPECT_EQ(s.Read(buf, 8), 0);
    s.Seek(-2, SeekOrigin::End);
    s.WriteBuffer("XYZ", 3);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.Memory()), 6), "helXYZ");
    s.SetSize(2);
    EXPECT_EQ(s.Position(), 2);
    s.SetPosition(0);
    EXPECT_THROW(s.ReadBuffer(buf, 3), EReadError);
}

TEST(MemoryStream, CopyFromZeroCopiesTheWholeSourceFromItsStart)
{
    TMemoryStream src(std::vector<uint8_t>{1, 2, 3, 4});
    src.SetPosition(3);
    TMemoryStream dst;
    EXPECT_EQ(dst.CopyFrom(src, 0), 4);
    EXPECT_EQ(dst.Bytes(), (std::vector<uint8_t>{1, 2, 3, 4}));
    src.SetPosition(1);
    TMemoryStream part;
    part.CopyFrom(src, 2);
    EXPECT_EQ(part.Bytes(), (std::vector<uint8_t>{2, 3}));
}

TEST(FileStream, RoundTripAndErrors)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("ä file.bin").toStdString();
    {
        TFileStream f(path, FileMode::Create);
        f.WriteBuffer("abc", 3);
    }
    EXPECT_EQ(ReadWholeFile(path), (std::vector<uint8_t>{'a', 'b', 'c'}));
    try {
        TFileStream f(dir.filePath("missing").toStdString(), FileMode::OpenRead);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message().rfind("Cannot open file \"", 0), 0u) << e.Message();
    }
    try {
        TFileStream f(dir.filePath("no/such/dir").toStdString(), FileMode::Create);
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message().rfind("Cannot create file \"", 0), 0u) << e.Message();
    }
}
