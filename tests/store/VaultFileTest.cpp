// The vault table and its file: reopening, write-back, atomic replace, and
// refusal of files that are not vaults.
#include "StoreTestSupport.h"

#include <sqlite3.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace storetest;

namespace {

struct Sample {
    std::string name, kind;
    int x, y;
    std::vector<uint8_t> blob;
};

std::vector<Sample> Samples()
{
    return {
        {"Sunset", "J", 1920, 1080, RandomBytes(300000, 7)},
        {"Sunset", "G", 16, 16, RandomBytes(10, 8)},
        {"Ünïcødé ✓", "B", -32768, 32767, RandomBytes(4097, 9)},
        {"empty", "E", 0, 0, {}},
        {"dcb", "\\", 0, 0, {0x78, 0xDA, 0x03, 0, 0, 0, 0, 1}},
    };
}

void MakeVault(const std::string& path, const std::vector<Sample>& samples)
{
    TVaultTable t("CDS");
    t.CreateDataSet();
    for (const auto& s : samples)
        AddRecord(t, s.name, s.kind, s.x, s.y, s.blob);
    t.SetFileName(path);
    t.Save();
    t.Close();
}

// Opens the file and checks every record against samples, byte for byte.
void ExpectVaultHolds(const std::string& path, std::vector<Sample> samples)
{
    std::sort(samples.begin(), samples.end(),
              [](const Sample& a, const Sample& b) { return std::tie(a.name, a.kind) < std::tie(b.name, b.kind); });
    TVaultTable t("CDS");
    t.SetFileName(path);
    t.Open();
    ASSERT_EQ(t.RecordCount(), static_cast<int64_t>(samples.size()));
    size_t i = 0;
    for (t.First(); !t.Eof(); t.Next(), ++i) {
        SCOPED_TRACE(samples[i].name);
        EXPECT_EQ(t.FieldFileName().AsString(), samples[i].name);
        EXPECT_EQ(t.FieldImageType().AsString(), samples[i].kind);
        EXPECT_EQ(t.FieldDimX().AsInteger(), samples[i].x);
        EXPECT_EQ(t.FieldDimY().AsInteger(), samples[i].y);
        EXPECT_EQ(t.FieldImage().BlobSize(), static_cast<int64_t>(samples[i].blob.size()));
        EXPECT_EQ(BlobOf(t), samples[i].blob);
    }
    EXPECT_FALSE(t.HasChanges());
    t.Close();
}

struct ProbeReset {
    ~ProbeReset() { TVaultTable::SetWriteProbe(nullptr); }
};

TEST(VaultFileTest, ReopenKeepsEveryRecordAndBlobByteForByte)
{
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    MakeVault(path, Samples());
    ExpectVaultHolds(path, Samples());

    // Anyone can read it with sqlite3: our mark and the table are there.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT (SELECT application_id FROM pragma_application_id), "
                                     "(SELECT user_version FROM pragma_user_version), count(*) FROM Images",
                                 -1, &st, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int64(st, 0), 0x474D4258);
    EXPECT_EQ(sqlite3_column_int(st, 1), 1);
    EXPECT_EQ(sqlite3_column_int(st, 2), 5);
    sqlite3_finalize(st);
    sqlite3_close(db);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.gmb"}); // no temporary left behind
}

TEST(VaultFileTest, CloseWritesBackOnlyWhenTheDataChanged)
{
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    MakeVault(path, Samples());
    // Push the mtime into the past so that any rewrite shows.
    struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    const auto before = FileBytes(path);

    TVaultTable t("CDS");
    t.SetFileName(path);
    t.Open();
    Walk(t);
    BlobOf(t);
    t.Edit(); // an edit posted without any change is no change
    t.Post();
    t.SetFilter(" ImageType='J' ");
    t.SetFiltered(true);
    EXPECT_FALSE(t.HasChanges());
    t.Close();
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(FileBytes(path), before);

    // A change is written back on close, whatever the filter: every record.
    t.Open();
    EXPECT_EQ(t.RecordCount(), 1);
    ASSERT_TRUE(t.Locate("FileName;ImageType", {std::string("empty"), std::string("E")}, false));
    t.Delete();
    t.Close();
    auto expected = Samples();
    expected.erase(expected.begin() + 3);
    ExpectVaultHolds(path, expected);

    // Save resets the mark: a close right after it does not write again.
    t.Open();
    AddRecord(t, "new", "B");
    t.Save();
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    t.Close();
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
}

TEST(VaultFileTest, APendingInsertIsDroppedOnCloseAndACopyIsNeverWrittenBack)
{
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    MakeVault(path, Samples());
    const auto before = FileBytes(path);
    TVaultTable t("CDS"), copy("CDS2");
    t.SetFileName(path);
    t.Open();
    t.Append();
    t.FieldFileName().SetAsString("half-made");
    t.Close(); // the unposted record is dropped: no change, no write
    EXPECT_EQ(FileBytes(path), before);

    copy.SetFileName(path);
    t.Open();
    t.CopyDataTo(copy);
    EXPECT_EQ(copy.FileName(), "");
    copy.First();
    copy.Delete();
    copy.Close();
    t.Close();
    EXPECT_EQ(FileBytes(path), before);
}

TEST(VaultFileTest, MissingFileGivesTheEngineMessageAndTheTableStaysClosed)
{
    TempDir dir;
    TVaultTable t("CDS");
    t.SetFileName(dir.File("gone.gmb"));
    EXPECT_EQ(MessageOf([&] { t.Open(); }), "CDS: Missing data provider or data packet");
    EXPECT_FALSE(t.Active());
    t.SetFileName("");
    EXPECT_EQ(MessageOf([&] { t.Open(); }), "CDS: Missing data provider or data packet");
    t.SetFileName(dir.File("nodir/gone.gmb"));
    EXPECT_EQ(MessageOf([&] { t.Open(); }), "CDS: Missing data provider or data packet");
    EXPECT_TRUE(dir.Entries().empty());
}

// Writes a database with sql run on it, through the engine's own file code.
void MakeSqliteFile(const std::string& path, const char* sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_close(db);
}

// A maker of a database file with sql run on it.
std::function<void(const std::string&)> Sql(std::string sql)
{
    return [sql](const std::string& p) { MakeSqliteFile(p, sql.c_str()); };
}

// A maker of a vault cut to newSize(its size) bytes.
std::function<void(const std::string&)> CutVault(size_t (*newSize)(size_t))
{
    return [newSize](const std::string& p) {
        MakeVault(p, Samples());
        auto bytes = FileBytes(p);
        bytes.resize(newSize(bytes.size()));
        WriteBytes(p, bytes);
    };
}

constexpr const char* kGoodShape =
    "CREATE TABLE Images (FileName TEXT NOT NULL, DimX INTEGER NOT NULL, DimY INTEGER NOT NULL,"
    " Image BLOB NOT NULL, ImageType TEXT NOT NULL, PRIMARY KEY (FileName, ImageType));"
    "INSERT INTO Images VALUES ('a', 1, 1, x'00', 'B');";

TEST(VaultFileTest, AVaultMadeByOtherToolsWithTheRightShapeOpens)
{
    TempDir dir;
    const std::string path = dir.File("hand.gmb");
    MakeSqliteFile(path, (std::string("PRAGMA application_id = 1196245592; PRAGMA user_version = 1;") + kGoodShape).c_str());
    TVaultTable t("CDS");
    t.SetFileName(path);
    t.Open();
    EXPECT_EQ(t.RecordCount(), 1);
}

TEST(VaultFileTest, ATableThatSaysMoreThanOursIsRefusedHoweverItIsSpelt)
{
    TempDir dir;
    const std::string mark = "PRAGMA application_id = 1196245592; PRAGMA user_version = 1;";
    auto table = [](const std::string& imageType, const std::string& extra) {
        return "CREATE TABLE Images (FileName TEXT NOT NULL, DimX INTEGER NOT NULL, DimY INTEGER NOT NULL,"
               " Image BLOB NOT NULL, ImageType " +
               imageType + extra + ", PRIMARY KEY (FileName, ImageType));";
    };
    // Neither shows in the table's column list: a hidden generated column
    // (each add would grow the file) and CHECK constraints (refusing adds).
    const std::vector<std::pair<const char*, std::string>> hostile = {
        {"generated column", table("TEXT NOT NULL", ", Pad BLOB GENERATED ALWAYS AS (zeroblob(1000)) STORED")},
        {"check", table("TEXT NOT NULL CHECK (length(FileName) > 40)", "")},
        {"table check", table("TEXT NOT NULL", ", CHECK (DimX < 0)")},
        {"default", table("TEXT NOT NULL DEFAULT 'J'", "")},
        {"strict", "CREATE TABLE Images (FileName TEXT NOT NULL, DimX INTEGER NOT NULL, DimY INTEGER NOT NULL,"
                   " Image BLOB NOT NULL, ImageType TEXT NOT NULL, PRIMARY KEY (FileName, ImageType)) STRICT;"},
    };
    for (const auto& [what, sql] : hostile) {
        SCOPED_TRACE(what);
        const std::string path = dir.File(std::string(what) + ".gmb");
        MakeSqliteFile(path, (mark + sql).c_str());
        const auto before = FileBytes(path);
        TVaultTable t("CDS");
        t.SetFileName(path);
        EXPECT_EQ(MessageOf([&] { t.Open(); }),
                  "Cannot open vault \"" + path +
                      "\": it is an SQLite database of another application, not a Glimmerbox vault.");
        EXPECT_EQ(FileBytes(path), before);
    }
    // Our own table spelt another way (quotes, case, blanks, the key's name) opens.
    const std::string path = dir.File("spelt.gmb");
    MakeSqliteFile(path, (mark + "create table \"Images\"(\"FileName\" text not null collate binary,[DimX] integer "
                                  "not null,`DimY` INTEGER NOT NULL,\n Image blob NOT NULL , ImageType TEXT NOT NULL,"
                                  "constraint k primary key(FileName,ImageType));")
                             .c_str());
    TVaultTable t("CDS");
    t.SetFileName(path);
    t.Open();
    EXPECT_EQ(t.RecordCount(), 0);
    t.Close();
}

TEST(VaultFileTest, FilesThatAreNotVaultsAreRefusedAndNeverWritten)
{
    TempDir dir;
    struct Case {
        const char* what;
        std::function<void(const std::string&)> make;
        const char* reason;
    };
    const std::string mark = "PRAGMA application_id = 1196245592; PRAGMA user_version = 1;";
    const std::vector<Case> cases = {
        {"text file", [](const std::string& p) { WriteBytes(p, {'h', 'e', 'l', 'l', 'o', '\n'}); },
         "it is not an SQLite database"},
        {"empty file", [](const std::string& p) { WriteBytes(p, {}); }, "the file is empty"},
        {"other application", Sql(kGoodShape), "another application"},
        {"other application id",
         Sql(std::string("PRAGMA application_id = 42;") + kGoodShape),
         "another application"},
        {"newer format",
         Sql(std::string("PRAGMA application_id = 1196245592; PRAGMA user_version = 2;") + kGoodShape),
         "newer version"},
        {"no table", Sql(mark + "CREATE TABLE Other (x);"),
         "no table \"Images\""},
        {"missing column",
         Sql(mark + "CREATE TABLE Images (FileName TEXT NOT NULL, DimX INTEGER NOT NULL,"
             " Image BLOB NOT NULL, ImageType TEXT NOT NULL, PRIMARY KEY (FileName, ImageType));"),
         "fields and key"},
        {"nullable column",
         Sql(mark + "CREATE TABLE Images (FileName TEXT NOT NULL, DimX INTEGER, DimY INTEGER NOT NULL,"
             " Image BLOB NOT NULL, ImageType TEXT NOT NULL, PRIMARY KEY (FileName, ImageType));"),
         "fields and key"},
        {"key on the name alone",
         Sql(mark + "CREATE TABLE Images (FileName TEXT NOT NULL PRIMARY KEY, DimX INTEGER NOT NULL,"
             " DimY INTEGER NOT NULL, Image BLOB NOT NULL, ImageType TEXT NOT NULL);"),
         "fields and key"},
        {"key ignoring case",
         Sql(mark + "CREATE TABLE Images (FileName TEXT NOT NULL COLLATE NOCASE, DimX INTEGER NOT NULL,"
             " DimY INTEGER NOT NULL, Image BLOB NOT NULL, ImageType TEXT NOT NULL,"
             " PRIMARY KEY (FileName, ImageType));"),
         "fields and key"},
        {"without row ids",
         Sql(mark + "CREATE TABLE Images (FileName TEXT NOT NULL, DimX INTEGER NOT NULL,"
             " DimY INTEGER NOT NULL, Image BLOB NOT NULL, ImageType TEXT NOT NULL,"
             " PRIMARY KEY (FileName, ImageType)) WITHOUT ROWID;"),
         "fields and key"},
        {"truncated vault",
         CutVault([](size_t n) { return n / 2; }),
         "truncated"},
        {"truncated inside the header",
         CutVault([](size_t) -> size_t { return 60; }),
         "truncated"},
        {"cut off mid-page",
         CutVault([](size_t n) { return n - 100; }),
         "truncated"},
        {"damaged pages",
         [](const std::string& p) {
             MakeVault(p, Samples());
             auto bytes = FileBytes(p);
             for (size_t i = 4096; i < 3 * 4096 && i < bytes.size(); ++i)
                 bytes[i] = 0xA5;
             WriteBytes(p, bytes);
         },
         "the file is damaged"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.File(std::string(c.what) + ".gmb");
        c.make(path);
        const auto before = FileBytes(path);
        TVaultTable t("CDS");
        t.SetFileName(path);
        const std::string message = MessageOf([&] { t.Open(); });
        EXPECT_EQ(message.rfind("Cannot open vault \"" + path + "\": ", 0), 0u) << message;
        EXPECT_NE(message.find(c.reason), std::string::npos) << message;
        EXPECT_FALSE(t.Active());
        t.Close();
        EXPECT_EQ(FileBytes(path), before);
    }
}

// Runs sql through the sqlite3 shell on the file at path.
void RunSqliteShell(const std::string& path, const std::string& sql)
{
    const std::string script = path + ".sql";
    WriteBytes(script, std::vector<uint8_t>(sql.begin(), sql.end()));
    const std::string command = "sqlite3 -bail '" + path + "' < '" + script + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::filesystem::remove(script);
}

TEST(VaultFileTest, AVaultWithExtraSchemaObjectsIsRefusedAndLeftUntouched)
{
    TempDir dir;
    const std::string vault = std::string("PRAGMA application_id = 1196245592; PRAGMA user_version = 1;") + kGoodShape;
    const std::vector<std::pair<const char*, std::string>> extras = {
        {"trigger", "CREATE TRIGGER t AFTER DELETE ON Images BEGIN INSERT INTO Images VALUES "
                    "(old.FileName || 'x', 1, 1, x'00', 'B'); END;"},
        {"view", "CREATE VIEW v AS SELECT FileName FROM Images;"},
        {"extra index", "CREATE INDEX i ON Images (DimX);"},
        {"unique index", "CREATE UNIQUE INDEX u ON Images (FileName);"},
        {"extra table", "CREATE TABLE Notes (x);"},
        {"statistics", "ANALYZE;"},
    };
    const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    for (const auto& [what, sql] : extras) {
        SCOPED_TRACE(what);
        const std::string path = dir.File(std::string(what) + ".gmb");
        RunSqliteShell(path, vault + sql);
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
        const auto before = FileBytes(path);
        TVaultTable t("CDS");
        t.SetFileName(path);
        const std::string message = MessageOf([&] { t.Open(); });
        EXPECT_EQ(message, "Cannot open vault \"" + path +
                               "\": it is an SQLite database of another application, not a Glimmerbox vault.");
        EXPECT_FALSE(t.Active());
        t.Close();
        EXPECT_EQ(FileBytes(path), before);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
        EXPECT_EQ(st.st_mtim.tv_nsec, 0);
    }
    EXPECT_EQ(dir.Entries().size(), extras.size()); // no side files left

    // The same vault without the extra object opens.
    const std::string plain = dir.File("plain.gmb");
    RunSqliteShell(plain, vault);
    TVaultTable t("CDS");
    t.SetFileName(plain);
    t.Open();
    EXPECT_EQ(t.RecordCount(), 1);
}

TEST(VaultFileTest, AFailedSaveAsLeavesTheOldFileAndTheTableOpen)
{
    ProbeReset reset;
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    const std::string target = dir.File("b.gmb");
    // Big enough for several records' worth of progress.
    auto samples = Samples();
    samples.push_back({"big", "J", 1, 1, RandomBytes(3 << 20, 11)});
    MakeVault(path, samples);
    MakeVault(target, Samples());
    const auto targetBefore = FileBytes(target);

    TVaultTable t("CDS");
    t.SetFileName(path);
    t.Open();
    AddRecord(t, "extra", "B"); // written at once
    const auto before = FileBytes(path);
    for (TWriteStage failAt : {TWriteStage::TempCreated, TWriteStage::ChunkWritten, TWriteStage::Synced,
                               TWriteStage::BeforeRename}) {
        TVaultTable::SetWriteProbe([failAt](TWriteStage stage, int64_t done) {
            if (stage == failAt && (stage != TWriteStage::ChunkWritten || done >= (2 << 20)))
                throw EDatabaseError("disk full (simulated)");
        });
        EXPECT_EQ(MessageOf([&] { t.SaveToFile(target); }), "disk full (simulated)");
        EXPECT_TRUE(t.Active()); // nothing is lost: the data is still there
        EXPECT_EQ(t.RecordCount(), static_cast<int64_t>(samples.size() + 1));
        EXPECT_EQ(FileBytes(path), before);
        EXPECT_EQ(FileBytes(target), targetBefore);
        EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"a.gmb", "b.gmb"})); // no new file left
    }
    TVaultTable::SetWriteProbe(nullptr);
    t.SaveToFile(target);
    t.Close();
    samples.push_back({"extra", "B", 1, 2, {1, 2, 3}});
    ExpectVaultHolds(path, samples); // written by its own command before the Save As
    ExpectVaultHolds(target, samples);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"a.gmb", "b.gmb"}));
}

TEST(VaultFileTest, ACommandWhoseWriteFailsLeavesTheVaultAsBeforeItAndTheWindowClosable)
{
    ProbeReset reset;
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    auto samples = Samples();
    MakeVault(path, samples);
    const auto before = FileBytes(path);
    // Count the engine's file operations of one write-back, on a copy.
    const std::string copy = dir.File("count.gmb");
    std::filesystem::copy_file(path, copy);
    int events = 0;
    {
        TVaultTable t("CDS");
        t.SetFileName(copy);
        t.Open();
        t.BeginCommand();
        AddRecord(t, "extra", "B", 1, 2, RandomBytes(100000, 5));
        TVaultTable::SetWriteProbe([&](TWriteStage, int64_t) { ++events; });
        t.EndCommand();
        TVaultTable::SetWriteProbe(nullptr);
        t.Close();
    }
    std::filesystem::remove(copy);
    ASSERT_GT(events, 3);

    for (int failAt = 1; failAt <= events; ++failAt) {
        SCOPED_TRACE(failAt);
        EXPECT_EQ(FileBytes(path), before);
        TVaultTable t("CDS");
        t.SetFileName(path);
        t.Open();
        t.BeginCommand();
        AddRecord(t, "extra", "B", 1, 2, RandomBytes(100000, 5));
        int seen = 0;
        TVaultTable::SetWriteProbe([&](TWriteStage, int64_t) {
            if (++seen == failAt)
                throw EDatabaseError("disk full (simulated)");
        });
        const std::string message = MessageOf([&] { t.EndCommand(); });
        TVaultTable::SetWriteProbe(nullptr);
        if (failAt == 1) {
            // Found before anything is written (as a lack of space is): the
            // changes stay; the table is dropped without writing them.
            EXPECT_EQ(message, "disk full (simulated)");
            EXPECT_TRUE(t.HasChanges());
            EXPECT_EQ(t.RecordCount(), static_cast<int64_t>(samples.size() + 1));
            continue;
        }
        EXPECT_EQ(message.rfind("Cannot write vault \"" + path + "\": disk full (simulated).", 0), 0u) << message;
        EXPECT_NE(message.find("the changes of this command are lost."), std::string::npos) << message;
        EXPECT_TRUE(t.Active());
        EXPECT_FALSE(t.HasChanges()); // dropped with the failed commit
        EXPECT_EQ(t.RecordCount(), static_cast<int64_t>(samples.size()));
        t.Close(); // the window can close
        EXPECT_FALSE(t.Active());
        EXPECT_EQ(FileBytes(path), before);
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.gmb"});
    }
    ExpectVaultHolds(path, samples);
}

TEST(VaultFileTest, WritingOverADirectoryFailsCleanly)
{
    TempDir dir;
    const std::string target = dir.File("folder.gmb");
    std::filesystem::create_directory(target);
    WriteBytes(dir.File("folder.gmb/keep"), {1});
    TVaultTable t("CDS");
    t.CreateDataSet();
    AddRecord(t, "a", "B");
    const std::string message = MessageOf([&] { t.SaveToFile(target); });
    EXPECT_EQ(message.rfind("Cannot write vault \"" + target + "\": ", 0), 0u) << message;
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"folder.gmb"});
    EXPECT_EQ(FileBytes(dir.File("folder.gmb/keep")), std::vector<uint8_t>{1});
    EXPECT_NE(MessageOf([&] { t.SaveToFile(dir.File("no/such/dir.gmb")); }), "");

    // Opening a directory is refused too.
    t.Close();
    t.SetFileName(target);
    EXPECT_NE(MessageOf([&] { t.Open(); }), "");
}

TEST(VaultFileTest, AWriteKilledHalfWayLeavesTheOldVault)
{
    TempDir dir;
    const std::string path = dir.File("a.gmb");
    auto samples = Samples();
    MakeVault(path, samples);
    const auto before = FileBytes(path);

    ASSERT_TRUE(KillWriterHalfWay(path));
    // The killed writer's journal is beside the vault until the next open
    // plays it back.
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"a.gmb", "a.gmb-journal"}));
    ExpectVaultHolds(path, samples);
    EXPECT_EQ(FileBytes(path), before);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.gmb"});
}

TEST(VaultFileTest, WritingThroughASymbolicLinkReplacesTheFileItNames)
{
    TempDir dir;
    const std::string real = dir.File("real.gmb");
    const std::string link = dir.File("link.gmb");
    MakeVault(real, Samples());
    std::filesystem::create_symlink(real, link);
    chmod(real.c_str(), 0640);
    TVaultTable t("CDS");
    t.SetFileName(link);
    t.Open();
    AddRecord(t, "more", "B");
    t.Close();
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    struct stat st {};
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u); // permissions kept
    t.SetFileName(real);
    t.Open();
    EXPECT_EQ(t.RecordCount(), 6);
}

} // namespace
