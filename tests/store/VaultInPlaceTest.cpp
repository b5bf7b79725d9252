// The vault worked on in place: one writer at a time, read-only vaults,
// Save As and its rebinding, temporary files of untitled tables and copies,
// damage met after open.
#include "StoreTestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <csignal>
#include <sys/resource.h>
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

// The pid of a process that has ended (it is free), "" when none could run.
std::string EndedProcess()
{
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return {};
    return std::to_string(child);
}

std::string Refusal(const std::string& path, const std::string& reason)
{
    return "Cannot open vault \"" + path + "\": " + reason + ".";
}

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

TEST(InPlaceTest, ReadingTheVaultAheadKeepsASecondWriterOut)
{
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    MakeVault(path, 3, 40000);
    TVaultTable t("CDS");
    t.SetFileName(path);
    t.Open();
    // The hint a list fill gives: closing a descriptor of its own would drop
    // the engine's lock and let the shell in.
    HintWholeFileWillBeRead(path);
    const std::string shell = "sqlite3 '" + path + "' 'BEGIN IMMEDIATE;' 2>/dev/null";
    EXPECT_NE(std::system(shell.c_str()), 0);
    AddRecord(t, "later", "B");
    HintWholeFileWillBeRead(path);
    EXPECT_NE(std::system(shell.c_str()), 0);
    t.Close();
    EXPECT_EQ(std::system(shell.c_str()), 0);
}

TEST(InPlaceTest, AVaultReplacedWhileOpenIsNeverWrittenIntoAndItsChangesCanBeSavedElsewhere)
{
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    const std::string replaced = "Cannot write vault \"" + path +
                                 "\": another program replaced or removed the file since it was opened; nothing "
                                 "was written to it.";
    // Another program puts a new file in the vault's place (a sync client,
    // a restore): between two commands, or while one runs.
    for (const bool duringCommand : {false, true}) {
        SCOPED_TRACE(duringCommand);
        MakeVault(path, 3);
        TVaultTable t("CDS");
        t.SetFileName(path);
        t.Open();
        AddRecord(t, "before", "B"); // written while the file is still the vault's
        const std::string other = dir.File("other.gmb");
        auto replace = [&] {
            MakeVault(other, 1);
            ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
        };
        if (!duringCommand)
            replace();
        const auto replacement = duringCommand ? std::vector<uint8_t>() : FileBytes(path);
        std::string message;
        try {
            RunVaultCommand(t, [&] {
                AddRecord(t, "after", "G");
                if (duringCommand)
                    replace();
            });
        } catch (const EVaultReplaced& e) {
            message = e.Message();
        }
        t.Cancel(); // a record the engine refused to post
        EXPECT_EQ(message, replaced);
        const auto foreign = FileBytes(path);
        if (!duringCommand)
            EXPECT_EQ(foreign, replacement);
        if (duringCommand) {
            // What the command changed is kept, and no write-back goes there.
            EXPECT_TRUE(t.HasChanges());
            EXPECT_EQ(MessageOf([&] { t.Close(); }), replaced);
            EXPECT_TRUE(t.Active());
        } else {
            EXPECT_FALSE(t.HasChanges()); // the refused change was the command's first
        }
        EXPECT_EQ(FileBytes(path), foreign);
        // No journal of ours is left beside the other program's file.
        EXPECT_FALSE(std::filesystem::exists(path + "-journal"));

        // Saved where the user chooses: every record, the kept changes included.
        const std::string saved = dir.File("saved.gmb");
        t.SetFileName(saved);
        t.Save();
        AddRecord(t, "later", "B");
        t.Close();
        EXPECT_EQ(FileBytes(path), foreign);
        t.SetFileName(saved);
        t.Open();
        const std::vector<std::string> all{"before/B", "later/B", "r0/J", "r1/J", "r2/J"};
        std::vector<std::string> expected = all;
        if (duringCommand)
            expected.insert(expected.begin(), "after/G");
        EXPECT_EQ(Walk(t), expected);
        t.Close();
        std::filesystem::remove(saved);
        std::filesystem::remove(path);
    }
}

TEST(InPlaceTest, ReadersAreLetInBesideTheWriterAndOnlyASecondWriterIsRefused)
{
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    MakeVault(path, 3);
    TVaultTable writer("CDS"), reader("CDS"), second("CDS");
    writer.SetFileName(path);
    writer.Open();
    reader.SetFileName(path);
    reader.SetOpenForReading(true);
    reader.Open();
    EXPECT_TRUE(reader.ReadOnly());
    EXPECT_EQ(reader.RecordCount(), 3);
    EXPECT_EQ(MessageOf([&] { reader.Append(); }),
              "Vault \"" + path + "\" is open for reading only: it cannot be changed here.");
    // The reader sees each command of the writer once it has ended.
    AddRecord(writer, "new", "B");
    EXPECT_EQ(reader.RecordCount(), 4);
    // Another program reads too (the sqlite3 shell), while both hold it.
    const std::string count = "test \"$(sqlite3 '" + path + "' 'SELECT count(*) FROM Images;')\" = 4";
    EXPECT_EQ(std::system(count.c_str()), 0);

    second.SetFileName(path);
    bool busy = false;
    try {
        second.Open();
    } catch (const EVaultBusy& e) {
        busy = true;
        EXPECT_EQ(e.Message(), Refusal(path, "it is open for changes in another window or program"));
    }
    EXPECT_TRUE(busy);
    reader.Close();
    writer.Close();
    second.Open();
    EXPECT_FALSE(second.ReadOnly());
    second.Close();
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.gmb"});
}

TEST(InPlaceTest, TwoCreatorsOfOneNewVaultNeverLoseTheFirstOnesFile)
{
    struct ProbeReset {
        ~ProbeReset() { TVaultTable::SetWriteProbe(nullptr); }
    } reset;
    TempDir dir;
    const std::string path = dir.File("new.gmb");
    TVaultTable mine("CDS");
    mine.CreateDataSet();
    AddRecord(mine, "mine", "B");
    // While this new vault is being written, another program makes its own
    // under the same name.
    bool made = false;
    TVaultTable::SetWriteProbe([&](TWriteStage stage, int64_t) {
        if (stage == TWriteStage::BeforeRename && !made) {
            made = true;
            MakeVault(path, 2);
        }
    });
    const std::string message = MessageOf([&] { mine.SaveToFile(path); });
    TVaultTable::SetWriteProbe(nullptr);
    EXPECT_EQ(message, "Cannot write vault \"" + path +
                           "\": another program made a file of that name while it was being written; that file is "
                           "left as it is.");
    EXPECT_EQ(mine.RecordCount(), 1); // still here to be saved elsewhere
    TVaultTable theirs("CDS");
    theirs.SetFileName(path);
    theirs.Open();
    EXPECT_EQ(Walk(theirs), (std::vector<std::string>{"r0/J", "r1/J"}));

    // Save As over a vault: a writer that comes while the copy is made is
    // kept out until it is in place.
    theirs.Close();
    std::string refused;
    TVaultTable::SetWriteProbe([&](TWriteStage stage, int64_t) {
        if (stage == TWriteStage::ChunkWritten && refused.empty()) {
            TVaultTable other("CDS");
            other.SetFileName(path);
            refused = MessageOf([&] { other.Open(); });
        }
    });
    mine.SaveToFile(path);
    TVaultTable::SetWriteProbe(nullptr);
    EXPECT_EQ(refused, Refusal(path, "it is open for changes in another window or program"));
    theirs.Open();
    EXPECT_EQ(Walk(theirs), (std::vector<std::string>{"mine/B"}));
    theirs.Close();
    mine.Close();
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"new.gmb"});
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

    TVaultTable t("CDS");
    t.SetFileName(x);
    t.Open();
    // Each command's changes go to x as it ends...
    ASSERT_TRUE(t.Locate("FileName", {std::string("r2")}, false));
    t.Delete();
    AddRecord(t, "added", "G");
    const auto written = FileBytes(x);
    t.SetFileName(z);
    t.Save();
    EXPECT_FALSE(t.HasChanges());
    EXPECT_EQ(t.FieldFileName().AsString(), "added"); // the cursor stays where it was
    EXPECT_EQ(FileBytes(x), written);

    // ...and after Save As to the new file only.
    ASSERT_TRUE(t.Locate("FileName", {std::string("r0")}, false));
    t.Delete();
    t.Close();
    EXPECT_EQ(FileBytes(x), written);
    t.SetFileName(z);
    t.Open();
    EXPECT_EQ(Walk(t), (std::vector<std::string>{"added/G", "r1/J", "r3/J"}));
    t.Close();
    // And x is free again: another table may change it.
    t.SetFileName(x);
    t.Open();
    EXPECT_EQ(Walk(t), (std::vector<std::string>{"added/G", "r0/J", "r1/J", "r3/J"}));
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

TEST(InPlaceTest, AnIOErrorCostsOnlyTheCommandItHitAndIsReported)
{
    struct ProbeReset {
        ~ProbeReset() { TVaultTable::SetWriteProbe(nullptr); }
    } reset;
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    MakeVault(path, 3);
    TVaultTable t("CDS");
    t.SetFileName(path);
    t.Open();
    AddRecord(t, "kept", "B"); // a command of its own: written at once
    // An image larger than the page cache makes pages spill into the vault
    // while it is posted; the spill fails.
    bool failed = false;
    TVaultTable::SetWriteProbe([&failed](TWriteStage stage, int64_t) {
        if (stage == TWriteStage::PageWritten && !failed) {
            failed = true;
            throw EDatabaseError("I/O error (simulated)");
        }
    });
    const std::string message = MessageOf([&] {
        RunVaultCommand(t, [&] {
            AddRecord(t, "lost", "B");
            AddRecord(t, "huge", "J", 1, 1, RandomBytes(48 << 20, 4));
        });
    });
    TVaultTable::SetWriteProbe(nullptr);
    ASSERT_TRUE(failed);
    EXPECT_NE(message.find("the changes of this command are lost."), std::string::npos) << message;
    EXPECT_FALSE(t.HasChanges());
    t.Cancel();
    // The vault is held still: the next command goes in.
    const std::string shell = "sqlite3 '" + path + "' 'BEGIN IMMEDIATE;' 2>/dev/null";
    EXPECT_NE(std::system(shell.c_str()), 0);
    AddRecord(t, "later", "B");
    t.Close();
    TVaultTable check("CDS");
    check.SetFileName(path);
    check.Open();
    EXPECT_EQ(Walk(check), (std::vector<std::string>{"kept/B", "later/B", "r0/J", "r1/J", "r2/J"}));
    check.Close();
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.gmb"});
}

TEST(InPlaceTest, AFullDiskCostsOnlyTheCommandItHit)
{
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    MakeVault(path, 3);
    const auto size = static_cast<rlim_t>(std::filesystem::file_size(path));
    int pipeFd[2];
    ASSERT_EQ(pipe(pipeFd), 0);
    const pid_t child = fork();
    if (child == 0) {
        // No file of this process may grow past 1 MB beyond the vault: the
        // second command's image does not fit.
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {size + (1 << 20), size + (1 << 20)};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string report;
        TVaultTable t("CDS");
        t.SetFileName(path);
        t.Open();
        RunVaultCommand(t, [&] { AddRecord(t, "first", "B", 1, 1, RandomBytes(100000, 1)); });
        report += MessageOf([&] {
            RunVaultCommand(t, [&] {
                AddRecord(t, "second", "B", 1, 1, RandomBytes(1000, 2));
                AddRecord(t, "huge", "J", 1, 1, RandomBytes(3 << 20, 3));
            });
        });
        report += "|";
        report += MessageOf([&] { RunVaultCommand(t, [&] { AddRecord(t, "third", "B", 1, 1, RandomBytes(1000, 4)); }); });
        report += "|" + std::to_string(t.RecordCount());
        t.Close();
        _exit(write(pipeFd[1], report.data(), report.size()) == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    close(pipeFd[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string report;
    char buffer[4096];
    for (ssize_t n; (n = read(pipeFd[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, static_cast<size_t>(n));
    close(pipeFd[0]);
    // The failing command is reported lost, the next one goes in.
    EXPECT_NE(report.find("the changes of this command are lost.|"), std::string::npos) << report;
    EXPECT_NE(report.find("||5"), std::string::npos) << report;

    TVaultTable t("CDS");
    t.SetFileName(path);
    t.Open();
    EXPECT_EQ(Walk(t), (std::vector<std::string>{"first/B", "r0/J", "r1/J", "r2/J", "third/B"}));
    t.Close();
    const std::string integrity = "test \"$(sqlite3 '" + path + "' 'PRAGMA integrity_check;')\" = ok";
    EXPECT_EQ(std::system(integrity.c_str()), 0);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.gmb"});
}

// What the sqlite3 shell answers to one statement on a vault, trimmed.
std::string ShellAnswer(const std::string& path, const std::string& sql)
{
    FILE* pipe = popen(("sqlite3 '" + path + "' '" + sql + "'").c_str(), "r");
    if (!pipe)
        return "no shell";
    std::string out;
    char buffer[256];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

void DeleteRecords(const std::string& path, int from, int to)
{
    TVaultTable t("CDS");
    t.SetFileName(path);
    t.Open();
    RunVaultCommand(t, [&] {
        for (int i = from; i < to; ++i)
            if (t.Locate("FileName;ImageType", {"r" + std::to_string(i), std::string("J")}, false))
                t.Delete();
    });
    t.Close();
}

TEST(InPlaceTest, FreedSpaceIsGivenBackAtCloseOnceAQuarterOfTheVaultLiesUnused)
{
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    MakeVault(path, 200, 20000);
    // As vaults were made before: every commit gave the freed pages back.
    ASSERT_EQ(ShellAnswer(path, "PRAGMA auto_vacuum = FULL; PRAGMA auto_vacuum;"), "1");
    const auto full = std::filesystem::file_size(path);

    // A tenth deleted: the space is kept for the next adds, and the vault
    // now gives it back only at close.
    DeleteRecords(path, 0, 20);
    EXPECT_EQ(ShellAnswer(path, "PRAGMA auto_vacuum;"), "2");
    EXPECT_EQ(std::filesystem::file_size(path), full);

    // Four fifths deleted: the file shrinks to what is left.
    DeleteRecords(path, 20, 160);
    EXPECT_LT(std::filesystem::file_size(path), full / 4);
    EXPECT_EQ(ShellAnswer(path, "PRAGMA freelist_count;"), "0");
    EXPECT_EQ(ShellAnswer(path, "PRAGMA integrity_check;"), "ok");
    EXPECT_EQ(ShellAnswer(path, "SELECT count(*) FROM Images;"), "40");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.gmb"});
}

} // namespace

TEST(InPlaceTest, UntitledVaultsOfProgramsThatEndedWithoutClosingThemAreRemoved)
{
    TempDir dir;
    const std::string ended = EndedProcess();
    ASSERT_FALSE(ended.empty());
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

TEST(InPlaceTest, NewFilesAKilledSaveAsLeftBesideAVaultAreRemovedWhenItIsOpened)
{
    TempDir dir;
    const std::string ended = EndedProcess();
    ASSERT_FALSE(ended.empty());
    const std::string running = std::to_string(getpid());
    const std::string path = dir.File("a.gmb");
    MakeVault(path, 1);
    for (const std::string& name : std::vector<std::string>{"a.gmb." + ended + ".3.tmp", "a.gmb." + running + ".1.tmp",
                                                            "a.gmb." + ended + ".x.tmp", "b.gmb." + ended + ".1.tmp",
                                                            "a.gmb." + ended + ".3.tmp.bak"})
        WriteBytes(dir.File(name), {1, 2, 3});
    TVaultTable t("CDS");
    t.SetFileName(path);
    t.Open();
    t.Close();
    std::vector<std::string> kept{"a.gmb", "a.gmb." + ended + ".3.tmp.bak", "a.gmb." + ended + ".x.tmp",
                                  "a.gmb." + running + ".1.tmp", "b.gmb." + ended + ".1.tmp"};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(dir.Entries(), kept);
}

TEST(InPlaceTest, AJournalACrashLeftIsPlayedBackByAReaderAndNamedWhereNobodyMayWrite)
{
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    MakeVault(path, 3);
    const auto before = FileBytes(path);
    ASSERT_TRUE(KillWriterHalfWay(path));
    ASSERT_TRUE(std::filesystem::exists(path + "-journal"));

    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    TVaultTable t("CDS");
    t.SetFileName(path);
    EXPECT_EQ(MessageOf([&] { t.Open(); }),
              Refusal(path, "it needs recovery after a crash, which only someone allowed to change the file can do"));
    EXPECT_FALSE(t.Active());
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    t.SetOpenForReading(true);
    t.Open();
    EXPECT_EQ(t.RecordCount(), 3);
    t.Close();
    EXPECT_EQ(FileBytes(path), before);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.gmb"});
}
