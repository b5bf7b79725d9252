// Crash safety of the in-place vault: a child process changes records in two
// commands and is killed at random points of its file operations (journal,
// spilled pages, each command's commit); every time, the vault opens holding
// exactly the records before, between or after the commands, and a kill
// after a command has ended never costs that command. The suite runs a brief share; a long
// run sets GMB_CRASH_KILLS_SMALL / GMB_CRASH_KILLS_LARGE (scripts/crash-vault).
// The same for a password set and then removed: every kill leaves the vault
// whole, either all plain or all encrypted, never in between.
#include "StoreTestSupport.h"

#include "store/UDMMain.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

using namespace storetest;

namespace {

struct Rec {
    std::string name, kind;
    int x, y;
    int64_t size;
    size_t hash; // of every byte of the image
    bool operator==(const Rec&) const = default;
};

size_t HashOf(const std::vector<uint8_t>& bytes)
{
    return std::hash<std::string_view>()(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Every record of the vault, in key order.
std::vector<Rec> Snapshot(const std::string& path)
{
    TVaultTable t("CDS");
    t.SetFileName(path);
    t.Open();
    std::vector<Rec> out;
    for (t.First(); !t.Eof(); t.Next()) {
        const auto blob = BlobOf(t);
        out.push_back({t.FieldFileName().AsString(), t.FieldImageType().AsString(), t.FieldDimX().AsInteger(),
                       t.FieldDimY().AsInteger(), static_cast<int64_t>(blob.size()), HashOf(blob)});
    }
    t.Close();
    return out;
}

// The sanitizer build runs a tenth of the kills: each is many times slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kKillShare = 10;
#else
constexpr int kKillShare = 1;
#endif

int EnvCount(const char* name, int fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

int KillCount(const char* name, int fallback) { return EnvCount(name, std::max(1, fallback / kKillShare)); }

// The first command: a delete, a rename and a new size.
void ChangeFirst(TVaultTable& t)
{
    ASSERT_TRUE(t.Locate("FileName", {std::string("r3")}, false));
    t.Delete();
    ASSERT_TRUE(t.Locate("FileName", {std::string("r5")}, false));
    t.Edit();
    t.FieldFileName().SetAsString("renamed");
    t.Post();
    ASSERT_TRUE(t.Locate("FileName", {std::string("r1")}, false));
    t.Edit();
    t.FieldDimX().SetAsInteger(777);
    t.Post();
}

// The child's two commands, the second adding records (the large one bigger
// than the page cache, so pages spill into the vault before its commit) and
// deleting the last third of the old ones: in the large vault that frees
// enough for the close to give the space back, one more commit to kill.
// afterFirst: the probe's event count once the first command had ended.
void Change(TVaultTable& t, size_t bigRecord, const int& events, int& afterFirst)
{
    RunVaultCommand(t, [&] { ChangeFirst(t); });
    afterFirst = events;
    const int records = t.RecordCount() + 1; // r3 is gone
    RunVaultCommand(t, [&] {
        AddRecord(t, "added", "G", 5, 6, RandomBytes(bigRecord, 99));
        AddRecord(t, "small", "B", 7, 8, RandomBytes(1000, 98));
        for (int i = records * 2 / 3; i < records; ++i) {
            ASSERT_TRUE(t.Locate("FileName", {"r" + std::to_string(i)}, false));
            t.Delete();
        }
    });
}

struct Outcome {
    int killed = 0, old = 0, mid = 0, fresh = 0;
    int hotJournals = 0; // kills that left a journal for the next open to play back
    bool trimmed = false; // the close gave freed space back: smaller than before plus the added record
};

// Kills a changing child `kills` times and checks the vault after each.
Outcome KillRepeatedly(const std::string& pristine, const std::string& path, size_t bigRecord, int kills,
                       unsigned seed)
{
    Outcome outcome;
    const auto oldState = Snapshot(pristine);
    // A dry run: the states after each command, and how many file
    // operations they take (all, and up to the first command's end).
    std::filesystem::copy_file(pristine, path, std::filesystem::copy_options::overwrite_existing);
    {
        TVaultTable t("CDS");
        t.SetFileName(path);
        t.Open();
        RunVaultCommand(t, [&] { ChangeFirst(t); });
        t.Close();
    }
    const auto midState = Snapshot(path);
    std::filesystem::copy_file(pristine, path, std::filesystem::copy_options::overwrite_existing);
    int counts[2] = {0, 0};
    int pipeFd[2];
    EXPECT_EQ(pipe(pipeFd), 0);
    pid_t child = fork();
    if (child == 0) {
        int events = 0, afterFirst = 0;
        TVaultTable t("CDS");
        t.SetFileName(path);
        t.Open();
        TVaultTable::SetWriteProbe([&](TWriteStage, int64_t) { ++events; });
        Change(t, bigRecord, events, afterFirst);
        t.Close();
        const int result[2] = {events, afterFirst};
        _exit(write(pipeFd[1], result, sizeof result) == sizeof result ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read(pipeFd[0], counts, sizeof counts), static_cast<ssize_t>(sizeof counts));
    close(pipeFd[0]);
    close(pipeFd[1]);
    outcome.trimmed = std::filesystem::file_size(path) < std::filesystem::file_size(pristine) + bigRecord;
    const auto newState = Snapshot(path);
    EXPECT_NE(newState, oldState);
    EXPECT_NE(midState, oldState);
    EXPECT_NE(midState, newState);
    const int total = counts[0], firstDone = counts[1];
    EXPECT_GT(total, firstDone);
    EXPECT_GT(firstDone, 0);

    std::mt19937 random(seed);
    // The vault is copied back only when a run changed it: copying makes
    // every page dirty, and the writer's syncs would flush them all.
    std::filesystem::copy_file(pristine, path, std::filesystem::copy_options::overwrite_existing);
    for (int i = 0; i < kills && !::testing::Test::HasFailure(); ++i) {
        // A point past the last operation kills the writer just after its
        // last commit.
        const int killAt = std::uniform_int_distribution<int>(1, total + 1)(random);
        child = fork();
        if (child == 0) {
            int events = 0, afterFirst = 0;
            TVaultTable t("CDS");
            t.SetFileName(path);
            t.Open();
            TVaultTable::SetWriteProbe([&](TWriteStage, int64_t) {
                if (++events == killAt)
                    raise(SIGKILL);
            });
            Change(t, bigRecord, events, afterFirst);
            t.Close();
            raise(SIGKILL);
        }
        EXPECT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "kill point " << killAt;
        ++outcome.killed;
        if (std::filesystem::exists(path + "-journal"))
            ++outcome.hotJournals;
        const auto state = Snapshot(path);
        EXPECT_FALSE(std::filesystem::exists(path + "-journal")) << "kill point " << killAt;
        if (state == oldState) {
            ++outcome.old;
            EXPECT_LE(killAt, firstDone) << "a kill after the first command's end lost it";
        } else if (state == midState || state == newState) {
            ++(state == midState ? outcome.mid : outcome.fresh);
            std::filesystem::copy_file(pristine, path, std::filesystem::copy_options::overwrite_existing);
        } else {
            ADD_FAILURE() << "kill point " << killAt << " of " << total << " left a mixed vault";
        }
    }
    return outcome;
}

void MakeVault(const std::string& path, int records, size_t blobSize)
{
    TVaultTable t("CDS");
    t.CreateDataSet();
    for (int i = 0; i < records; ++i)
        AddRecord(t, "r" + std::to_string(i), "J", i, i, RandomBytes(blobSize + static_cast<size_t>(i), i));
    t.SetFileName(path);
    t.Save();
    t.Close();
}

TEST(CrashTest, AKilledWriterLeavesTheOldOrTheNewSmallVault)
{
    TempDir dir;
    const std::string pristine = dir.File("pristine.gmb");
    MakeVault(pristine, 12, 30000);
    const Outcome o = KillRepeatedly(pristine, dir.File("a.gmb"), 300000, KillCount("GMB_CRASH_KILLS_SMALL", 150), 1);
    EXPECT_EQ(o.old + o.mid + o.fresh, o.killed);
    EXPECT_GT(o.hotJournals, 0);
    std::printf("small vault: %d kills, %d before, %d between, %d after the commands, %d journals played back\n",
                o.killed, o.old, o.mid, o.fresh, o.hotJournals);
}

TEST(CrashTest, AKilledWriterLeavesTheOldOrTheNewLargeVault)
{
    TempDir dir;
    const std::string pristine = dir.File("pristine.gmb");
    // 200 MB in 100 records of 2 MB; the new record (40 MB) outgrows the
    // page cache.
    MakeVault(pristine, EnvCount("GMB_CRASH_LARGE_RECORDS", 100), 2 << 20);
    const Outcome o = KillRepeatedly(pristine, dir.File("a.gmb"), 40 << 20, KillCount("GMB_CRASH_KILLS_LARGE", 3), 2);
    EXPECT_TRUE(o.trimmed);
    EXPECT_EQ(o.old + o.mid + o.fresh, o.killed);
    EXPECT_GT(o.hotJournals, 0);
    std::printf("large vault: %d kills, %d before, %d between, %d after the commands, %d journals played back\n",
                o.killed, o.old, o.mid, o.fresh, o.hotJournals);
}

// ---- setting and removing a password -----------------------------------------

const char* const kCrashPassword = "kill me";

// The records of the vault as the password shows them: every image's bytes
// opened, and whether all of them were sealed. Damage makes it fail.
struct Opened {
    std::vector<Rec> records;
    bool encrypted = false;
    bool operator==(const Opened&) const = default;
};

Opened OpenWithPassword(const std::string& path)
{
    TDMMain store;
    store.CDS.SetFileName(path);
    store.SetActive(true);
    Opened out;
    out.encrypted = store.LocatePassword();
    if (out.encrypted)
        store.CheckPassword(kCrashPassword);
    for (store.CDS.First(); !store.CDS.Eof(); store.CDS.Next()) {
        if (store.CDSImageType.AsString() == "\\")
            continue;
        std::vector<uint8_t> stored = BlobOf(store.CDS);
        if (IsSealedBlob(stored) != out.encrypted)
            throw std::runtime_error("a vault partly encrypted: " + store.CDSFileName.AsString());
        const std::vector<uint8_t> blob =
            store.CDS.BlobCodec().Unseal(std::move(stored), store.CDSFileName.AsString(), store.CDSImageType.AsString());
        out.records.push_back({store.CDSFileName.AsString(), store.CDSImageType.AsString(), store.CDSDimX.AsInteger(),
                               store.CDSDimY.AsInteger(), static_cast<int64_t>(blob.size()), HashOf(blob)});
    }
    store.SetActive(false);
    return out;
}

void SetAndRemovePassword(const std::string& path)
{
    TDMMain store;
    store.SetPasswordHashLimits({1, 8});
    store.CDS.SetFileName(path);
    store.SetActive(true);
    store.SetPassword("", kCrashPassword);
    store.SetPassword(kCrashPassword, "");
    store.SetActive(false);
}

TEST(CrashTest, AKilledPasswordChangeLeavesTheVaultAllPlainOrAllEncrypted)
{
    TempDir dir;
    const std::string pristine = dir.File("pristine.gmb");
    const std::string path = dir.File("a.gmb");
    // The long run: 100 records of 2 MB, 200 MB.
    MakeVault(pristine, EnvCount("GMB_CRASH_PASSWORD_RECORDS", 10), 2 << 20);
    const Opened before = OpenWithPassword(pristine);
    ASSERT_FALSE(before.encrypted);
    std::filesystem::copy_file(pristine, path);
    int total = 0;
    {
        int pipeFd[2];
        ASSERT_EQ(pipe(pipeFd), 0);
        const pid_t child = fork();
        if (child == 0) {
            int events = 0;
            TVaultTable::SetWriteProbe([&](TWriteStage, int64_t) { ++events; });
            SetAndRemovePassword(path);
            _exit(write(pipeFd[1], &events, sizeof events) == sizeof events ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_EQ(read(pipeFd[0], &total, sizeof total), static_cast<ssize_t>(sizeof total));
        close(pipeFd[0]);
        close(pipeFd[1]);
    }
    ASSERT_GT(total, 2);
    EXPECT_EQ(OpenWithPassword(path), before);

    const int kills = KillCount("GMB_CRASH_KILLS_PASSWORD", 6);
    int plain = 0, encrypted = 0, damaged = 0;
    std::mt19937 random(3);
    for (int i = 0; i < kills && !::testing::Test::HasFailure(); ++i) {
        std::filesystem::copy_file(pristine, path, std::filesystem::copy_options::overwrite_existing);
        const int killAt = std::uniform_int_distribution<int>(1, total)(random);
        const pid_t child = fork();
        if (child == 0) {
            int events = 0;
            TVaultTable::SetWriteProbe([&](TWriteStage, int64_t) {
                if (++events == killAt)
                    raise(SIGKILL);
            });
            SetAndRemovePassword(path);
            raise(SIGKILL);
        }
        int status = 0;
        EXPECT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "kill point " << killAt;
        try {
            Opened after = OpenWithPassword(path);
            ++(after.encrypted ? encrypted : plain);
            after.encrypted = false;
            EXPECT_EQ(after, before) << "kill point " << killAt << " changed the images";
        } catch (const std::exception& e) {
            ++damaged;
            ADD_FAILURE() << "kill point " << killAt << " of " << total << ": " << e.what();
        }
    }
    EXPECT_EQ(plain + encrypted + damaged, kills);
    EXPECT_EQ(damaged, 0);
    std::printf("password set and removed: %d kills over %d file operations, %d plain, %d encrypted, %d damaged\n",
                kills, total, plain, encrypted, damaged);
}

} // namespace
