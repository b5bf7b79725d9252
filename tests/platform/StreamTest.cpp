#include "../FileChecks.h"
#include "platform/Exception.h"
#include "platform/Stream.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

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

namespace {

using filechecks::CurrentUmask;
using filechecks::ModeOf;
using filechecks::PlainCreateMessage;

// Every name in the folder, hidden ones included.
QStringList Entries(const QTemporaryDir& dir)
{
    return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// For its scope, every write of this process past limit bytes into a file
// fails as on a full disk.
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t limit)
    {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        oldSignal_ = std::signal(SIGXFSZ, SIG_IGN); // EFBIG instead of death
        rlimit lower = old_;
        lower.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~ScopedFileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldSignal_);
    }
    ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
    ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

private:
    rlimit old_{};
    void (*oldSignal_)(int) = nullptr;
};

const std::vector<uint8_t> kOld{'o', 'l', 'd', ' ', 'b', 'y', 't', 'e', 's'};

} // namespace

TEST(WriteFileSafely, AWriterThatFailsLeavesTheOldFileAndNoOtherFile)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("keep.bin").toStdString();
    WriteWholeFile(kOld, path);
    try {
        WriteFileSafely(path, [](TStream& file) {
            const std::vector<uint8_t> half(100000, 7);
            file.WriteBuffer(half.data(), static_cast<int64_t>(half.size()));
            throw Exception("Error");
        });
        FAIL() << "no exception";
    } catch (const EFCreateError&) {
        FAIL() << "the writer's own error must pass unchanged";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Error");
    }
    EXPECT_EQ(ReadWholeFile(path), kOld);
    EXPECT_EQ(Entries(dir), QStringList{"keep.bin"});

    // Where there was no file, none is made.
    EXPECT_THROW(WriteFileSafely(dir.filePath("new.bin").toStdString(), [](TStream&) { throw Exception("Error"); }),
                 Exception);
    EXPECT_EQ(Entries(dir), QStringList{"keep.bin"});
}

TEST(WriteFileSafely, AFullDiskIsReportedAndLeavesTheOldFile)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("keep.bin").toStdString();
    WriteWholeFile(kOld, path);
    const std::vector<uint8_t> big(1 << 20, 0x5A);
    const std::string expected = "Cannot create file \"" + path + "\". ";
    {
        ScopedFileSizeLimit limit(64 * 1024);
        // In one piece, and in the inflater's small pieces.
        try {
            WriteWholeFile(big, path);
            FAIL() << "no exception";
        } catch (const EFCreateError& e) {
            EXPECT_EQ(e.Message().rfind(expected, 0), 0u) << e.Message();
            EXPECT_GT(e.Message().size(), expected.size()) << "the system's reason follows";
        }
        try {
            WriteFileSafely(path, [&](TStream& file) {
                for (size_t at = 0; at < big.size(); at += 4096)
                    file.WriteBuffer(big.data() + at, 4096);
            });
            FAIL() << "no exception";
        } catch (const EFCreateError& e) {
            EXPECT_EQ(e.Message().rfind(expected, 0), 0u) << e.Message();
        }
    }
    EXPECT_EQ(ReadWholeFile(path), kOld);
    EXPECT_EQ(Entries(dir), QStringList{"keep.bin"});
}

TEST(WriteFileSafely, ANewFileGetsTheUsualModeAReplacedOneKeepsItsOwn)
{
    QTemporaryDir dir;
    const std::string made = dir.filePath("made.bin").toStdString();
    WriteWholeFile(kOld, made);
    EXPECT_EQ(ModeOf(made), 0666 & ~CurrentUmask());

    const std::string kept = dir.filePath("kept.bin").toStdString();
    WriteWholeFile(kOld, kept);
    ASSERT_EQ(::chmod(kept.c_str(), 0640), 0);
    WriteFileSafely(kept, [](TStream& file) { file.WriteBuffer("new", 3); });
    EXPECT_EQ(ReadWholeFile(kept), (std::vector<uint8_t>{'n', 'e', 'w'}));
    EXPECT_EQ(ModeOf(kept), 0640u);
}

TEST(WriteFileSafely, AFolderThatCannotTakeTheFileGivesThePlainCreateMessage)
{
    QTemporaryDir dir;
    WriteWholeFile(kOld, dir.filePath("plain").toStdString());
    QDir(dir.path()).mkdir("folder");
    for (const QString& name : {QString("missing/x.bin"), QString("plain/x.bin"), QString("folder")}) {
        const std::string path = dir.filePath(name).toStdString();
        SCOPED_TRACE(path);
        try {
            WriteFileSafely(path, [](TStream& file) { file.WriteBuffer("x", 1); });
            FAIL() << "no exception";
        } catch (const EFCreateError& e) {
            EXPECT_EQ(e.Message(), PlainCreateMessage(path));
        }
    }
    EXPECT_EQ(Entries(dir), (QStringList{"folder", "plain"}));
    EXPECT_TRUE(QDir(dir.filePath("folder")).isEmpty());
}
