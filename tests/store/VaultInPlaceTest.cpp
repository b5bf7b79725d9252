// The vault worked on in place: one writer at a time, read-only vaults,
// Save As and its rebinding, temporary files of untitled tables and copies,
// damage met after open.
#include "StoreTestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace storetest;

namespace {

void MakeVault(const std::string& path, int records, size_t blobSize = 2000)
{
    TVaultTable t("CDS");
    t.CreateDataSet();
    for (int i = 0; i < records; ++i)
        AddRecord(t, "r" + std::to_string(i), "J", i, i, RandomBytes(blobSize, static_cast<unsigned>(i)));
    t.SetFileName(path);
    t.Save();
    t.Close();
}

std::string Refusal(const std::string& path, const std::string& reason)
{
    return "Cannot open vault \"" + path + "\": " + reason + ".";
}

// Points the system temporary directory at a fresh folder while alive.
class ScopedTempDir {
public:
    ScopedTempDir()
    {
        if (const char* old = std::getenv("TMPDIR"))
            old_ = old;
        setenv("TMPDIR", dir_.Path().c_str(), 1);
    }
    ~ScopedTempDir()
    {
        if (old_)
            setenv("TMPDIR", old_->c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    std::vector<std::string> Entries() const { return dir_.Entries(); }

private:
    TempDir dir_;
    std::optional<std::string> old_;
};

// The sqlite3 shell as another program, kept running on a vault.
class TShell {
public:
    explicit TShell(const std::string& path)
    {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            execlp("sqlite3", "sqlite3", path.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~TShell()
    {
        close(to_);
        close(from_);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    // Runs sql and waits until the shell has done it.
    void Run(const std::string& sql)
    {
        const std::string text = sql + "\n.print done\n";
        ASSERT_EQ(write(to_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        std::string got;
        char c = 0;
        while (got.find("done\n") == std::string::npos && read(from_, &c, 1) == 1)
            got += c;
        ASSERT_NE(got.find("done"), std::string::npos);
    }

private:
    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
};

TEST(InPlaceTest, ASecondWriterIsRefusedInThisProcessAndInAnother)
{
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    MakeVault(path, 3);
    TVaultTable first("CDS"), second("CDS");
    first.SetFileName(path);
    first.Open();
    second.SetFileName(path);
    const std::string busy = Refusal(path, "it is open for changes in another window or program");
    EXPECT_EQ(MessageOf([&] { second.Open(); }), busy);
    EXPECT_FALSE(second.Active());

    // Another program (the sqlite3 shell) cannot take the vault for changes
    // while the table holds it...
    const std::string shell = "sqlite3 '" + path + "' 'BEGIN IMMEDIATE;' 2>/dev/null";
    EXPECT_NE(std::system(shell.c_str()), 0);
    first.Close();
    EXPECT_EQ(std::system(shell.c_str()), 0);
    // ...and while it holds the vault, the table is refused.
    {
        TShell other(path);
        other.Run("BEGIN IMMEDIATE;");
        EXPECT_EQ(MessageOf([&] { second.Open(); }), busy);
    }
    first.Open();

    // Save As over the vault in use is refused too, and changes nothing.
    const auto before = FileBytes(path);
    TVaultTable third("CDS");
    third.CreateDataSet();
    AddRecord(third, "x", "B");
    EXPECT_EQ(MessageOf([&] { third.SaveToFile(path); }),
              "Cannot write vault \"" + path + "\": it is open for changes in another window or program.");
    EXPECT_EQ(FileBytes(path), before);

    // A change by the first table still goes in; once it closes, the vault
    // is free again and holds it.
    ASSERT_TRUE(first.Locate("FileName", {std::string("r1")}, false));
    first.Delete();
    first.Close();
    second.Open();
    EXPECT_EQ(second.RecordCount(), 2);
    second.Close();
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.gmb"});
}

TEST(InPlaceTest, AReadOnlyVaultOpensRefusesEveryChangeAndCloses)
{
    TempDir dir;
    const std::string path = dir.File("ro.gmb");
    MakeVault(path, 3);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    const auto before = FileBytes(path);

    TVaultTable t("CDS");
    t.SetFileName(path);
    t.Open();
    EXPECT_TRUE(t.ReadOnly());
    EXPECT_EQ(t.RecordCount(), 3);
    const std::string refused = "Vault \"" + path + "\" is read-only: it cannot be changed.";
    EXPECT_EQ(MessageOf([&] { t.Append(); }), refused);
    EXPECT_EQ(MessageOf([&] { t.Edit(); }), refused);
    EXPECT_EQ(MessageOf([&] { t.Delete(); }), refused);
    EXPECT_EQ(t.State(), TDataSetState::Browse);
    EXPECT_FALSE(t.HasChanges());
    EXPECT_EQ(t.RecordCount(), 3);
    t.Close();
    EXPECT_FALSE(t.Active());

    // Its records can still be saved elsewhere, and that copy is writable.
    t.Open();
    const std::string copy = dir.File("copy.gmb");
    t.SetFileName(copy);
    t.Save();
    EXPECT_FALSE(t.ReadOnly());
    AddRecord(t, "new", "B");
    t.Close();
    TVaultTable check("CDS");
    check.SetFileName(copy);
    check.Open();
    EXPECT_EQ(check.RecordCount(), 4);
    check.Close();

    EXPECT_EQ(FileBytes(path), before);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"copy.gmb", "ro.gmb"}));
}

TEST(InPlaceTest, SaveAsBindsTheNewFileAndLeavesTheOldOneAsLastWritten)
{
    TempDir dir;
    const std::string x = dir.File("x.gmb");
    const std::string z = dir.File("z.gmb");
    MakeVault(x, 4);
    const auto before = FileBytes(x);

    TVaultTable t("CDS");
    t.SetFileName(x);
    t.Open();
    ASSERT_TRUE(t.Locate("FileName", {std::string("r2")}, false));
    t.Delete();
    AddRecord(t, "added", "G");
    t.SetFileName(z);
    t.Save();
    EXPECT_FALSE(t.HasChanges());
    EXPECT_EQ(t.FieldFileName().AsString(), "added"); // the cursor stays where it was
    EXPECT_EQ(FileBytes(x), before);

    // Later changes go to the new file only.
    ASSERT_TRUE(t.Locate("FileName", {std::string("r0")}, false));
    t.Delete();
    t.Close();
    EXPECT_EQ(FileBytes(x), before);
    t.SetFileName(z);
    t.Open();
    EXPECT_EQ(Walk(t), (std::vector<std::string>{"added/G", "r1/J", "r3/J"}));
    t.Close();
    // And x is free again: another table may change it.
    t.SetFileName(x);
    t.Open();
    EXPECT_EQ(t.RecordCount(), 4);
    t.Close();
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"x.gmb", "z.gmb"}));
}

TEST(InPlaceTest, UntitledTablesAndChangedCopiesLiveInTemporaryFilesRemovedOnClose)
{
    TempDir dir;
    ScopedTempDir temp;
    const std::string path = dir.File("a.gmb");
    MakeVault(path, 3, 50000);
    EXPECT_TRUE(temp.Entries().empty());

    TVaultTable untitled("CDS");
    untitled.CreateDataSet();
    EXPECT_EQ(temp.Entries().size(), 1u);
    AddRecord(untitled, "a", "B");
    untitled.Close();
    EXPECT_TRUE(temp.Entries().empty());

    // A copy reads the table's data: no file, no image bytes copied...
    TVaultTable t("CDS"), copy("CDS2");
    t.SetFileName(path);
    t.Open();
    t.CopyDataTo(copy);
    EXPECT_TRUE(temp.Entries().empty());
    EXPECT_EQ(copy.RecordCount(), 3);
    // ...until the table changes: the copy then keeps what it had.
    ASSERT_TRUE(t.Locate("FileName", {std::string("r0")}, false));
    t.Delete();
    EXPECT_EQ(temp.Entries().size(), 1u);
    EXPECT_EQ(copy.RecordCount(), 3);
    EXPECT_EQ(t.RecordCount(), 2);
    copy.First();
    EXPECT_EQ(BlobOf(copy), RandomBytes(50000, 0));
    copy.Close();
    EXPECT_TRUE(temp.Entries().empty());

    // A copy that changes takes its own records and leaves the table alone.
    t.CopyDataTo(copy);
    copy.First();
    copy.Delete();
    EXPECT_EQ(copy.RecordCount(), 1);
    EXPECT_EQ(t.RecordCount(), 2);
    copy.Close();
    t.Close();
    EXPECT_TRUE(temp.Entries().empty());
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.gmb"});
}

TEST(InPlaceTest, ADamagedPageMetAfterOpenNamesTheVaultAndNothingIsWritten)
{
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    MakeVault(path, 5, 20000);
    // Find a page in the middle of r2's image (a chain page: its first four
    // bytes name the next one) and point the chain far beyond the file.
    auto bytes = FileBytes(path);
    const auto image = RandomBytes(20000, 2);
    const auto at = std::search(bytes.begin(), bytes.end(), image.begin() + 10000, image.begin() + 10064);
    ASSERT_NE(at, bytes.end());
    const size_t page = static_cast<size_t>(at - bytes.begin()) / 4096 * 4096;
    for (size_t i = page; i < page + 4; ++i)
        bytes[i] = 0x7F;
    WriteBytes(path, bytes);

    TVaultTable t("CDS");
    t.SetFileName(path);
    t.Open(); // header and schema are sound: no page is read whole at open
    EXPECT_EQ(t.RecordCount(), 5);
    std::vector<std::string> failures;
    for (t.First(); !t.Eof(); t.Next())
        if (const std::string m = MessageOf([&] { BlobOf(t); }); !m.empty())
            failures.push_back(m);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].rfind("Vault \"" + path + "\" is damaged: ", 0), 0u) << failures[0];
    t.Close();
    EXPECT_EQ(FileBytes(path), bytes);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.gmb"});
}

TEST(InPlaceTest, ChangesTheEngineDropsAfterAnIOErrorAreReportedNeverWrittenAsSaved)
{
    struct ProbeReset {
        ~ProbeReset() { TVaultTable::SetWriteProbe(nullptr); }
    } reset;
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    MakeVault(path, 3);
    const auto before = FileBytes(path);
    TVaultTable t("CDS");
    t.SetFileName(path);
    t.Open();
    AddRecord(t, "kept", "B");
    // An image larger than the page cache makes pages spill into the vault
    // while it is posted; the spill fails.
    bool failed = false;
    TVaultTable::SetWriteProbe([&failed](TWriteStage stage, int64_t) {
        if (stage == TWriteStage::PageWritten && !failed) {
            failed = true;
            throw EDatabaseError("I/O error (simulated)");
        }
    });
    const std::string message = MessageOf([&] { AddRecord(t, "huge", "J", 1, 1, RandomBytes(48 << 20, 4)); });
    TVaultTable::SetWriteProbe(nullptr);
    ASSERT_TRUE(failed);
    ASSERT_NE(message, "");
    if (!t.HasChanges()) {
        // The engine dropped the transaction: the message says the changes are lost.
        EXPECT_NE(message.find("are lost"), std::string::npos) << message;
        t.Cancel();
        t.Close();
        // A journal the failed engine left is the next open's to handle.
        t.Open();
        EXPECT_EQ(t.RecordCount(), 3);
        t.Close();
        EXPECT_EQ(FileBytes(path), before);
    } else {
        // Only the statement failed: what was posted before is written.
        t.Cancel();
        t.Close();
        TVaultTable check("CDS");
        check.SetFileName(path);
        check.Open();
        EXPECT_EQ(check.RecordCount(), 4);
    }
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.gmb"});
}

} // namespace

TEST(InPlaceTest, UntitledVaultsOfProgramsThatEndedWithoutClosingThemAreRemoved)
{
    TempDir dir;
    // A process that has ended: its pid is free.
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const std::string ended = std::to_string(child);
    const std::string running = std::to_string(getpid());
    for (const std::string& name : std::vector<std::string>{
             "gmb-untitled-" + ended + "-a1B2c3", "gmb-untitled-" + ended + "-zzzzzz", "gmb-untitled-" + running + "-q9Q9q9",
             "gmb-untitled-1-x1x1x1", "gmb-untitled-Ab12Cd", "gmb-untitled-" + ended, "notes-" + ended + "-a.txt"})
        WriteBytes(dir.File(name), {1, 2, 3});
    // A link planted under an abandoned name is not followed, nor removed.
    const std::string target = dir.File("keep.bin");
    WriteBytes(target, {9});
    ASSERT_EQ(symlink(target.c_str(), dir.File("gmb-untitled-" + ended + "-link00").c_str()), 0);

    EXPECT_EQ(RemoveAbandonedUntitledVaults(dir.Path()), 2);
    std::vector<std::string> left = dir.Entries();
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected{"gmb-untitled-" + ended,
                                      "gmb-untitled-" + ended + "-link00",
                                      "gmb-untitled-" + running + "-q9Q9q9",
                                      "gmb-untitled-1-x1x1x1",
                                      "gmb-untitled-Ab12Cd",
                                      "keep.bin",
                                      "notes-" + ended + "-a.txt"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
    EXPECT_EQ(FileBytes(target), std::vector<uint8_t>{9});
    EXPECT_EQ(RemoveAbandonedUntitledVaults(dir.File("missing")), 0); // no folder: nothing, no error

    // A new untitled vault carries its program's pid, so a later run can tell.
    ScopedTempDir temp;
    TVaultTable untitled("CDS");
    untitled.CreateDataSet();
    ASSERT_EQ(temp.Entries().size(), 1u);
    EXPECT_EQ(temp.Entries()[0].rfind("gmb-untitled-" + running + "-", 0), 0u) << temp.Entries()[0];
    untitled.Close();
}
