// Protected vaults are encrypted: the password sets, changes and removes
// the sealing of every image blob, read back only with the right password.
#include "StoreTestSupport.h"

#include "store/UDMMain.h"

#include <sqlite3.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <map>

using namespace storetest;

namespace {

const std::string kJpeg = std::string(GMB_TEST_DATA) + "/jpeg/testorig.jpg";
// Cheap to derive: the default limits cost 0.4 s and 256 MiB each time.
constexpr TPasswordHashLimits kQuick{1, 8};

std::string MessageOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

bool Contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

// Every file under folder whose bytes hold needle.
std::vector<std::string> FilesHolding(const std::filesystem::path& folder, const std::vector<uint8_t>& needle)
{
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
        if (e.is_regular_file() && Contains(FileBytes(e.path().string()), needle))
            out.push_back(e.path().string());
    return out;
}

// A JPEG that carries a comment of random bytes. Under 64 KB zlib keeps
// them as they are (a stored block), so a slice of them is a marker that
// can be found in a plain vault.
std::vector<uint8_t> JpegWithComment(const std::vector<uint8_t>& comment)
{
    std::vector<uint8_t> jpeg = FileBytes(kJpeg);
    const size_t length = comment.size() + 2;
    std::vector<uint8_t> segment{0xFF, 0xFE, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    segment.insert(segment.end(), comment.begin(), comment.end());
    jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
    return jpeg;
}

std::vector<uint8_t> Inflated(const std::vector<uint8_t>& zlib)
{
    z_stream z{};
    EXPECT_EQ(inflateInit(&z), Z_OK);
    std::vector<uint8_t> out;
    uint8_t buffer[65536];
    z.next_in = const_cast<uint8_t*>(zlib.data());
    z.avail_in = static_cast<uInt>(zlib.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = buffer;
        z.avail_out = sizeof buffer;
        rc = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), buffer, buffer + (sizeof buffer - z.avail_out));
    }
    inflateEnd(&z);
    EXPECT_EQ(rc, Z_STREAM_END);
    return out;
}

// The image blobs as the sqlite3 shell reads them from the file: name to hex.
std::map<std::string, std::string> ShellBlobs(const std::string& vault)
{
    const std::string command =
        "sqlite3 -readonly -separator ' ' '" + vault + "' \"SELECT FileName, hex(Image) FROM Images WHERE ImageType <> '\\\\'\"";
    std::map<std::string, std::string> out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char* line = nullptr;
    size_t capacity = 0;
    while (getline(&line, &capacity, pipe) > 0) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        const size_t blank = text.find(' ');
        out[text.substr(0, blank)] = text.substr(blank + 1);
    }
    free(line);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return out;
}

std::vector<uint8_t> BlobOfRecord(sqlite3* db, const std::string& name)
{
    sqlite3_stmt* read = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT Image FROM Images WHERE FileName = ?", -1, &read, nullptr), SQLITE_OK);
    sqlite3_bind_text(read, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    std::vector<uint8_t> blob;
    if (sqlite3_step(read) == SQLITE_ROW) {
        const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(read, 0));
        blob.assign(data, data + sqlite3_column_bytes(read, 0));
    }
    sqlite3_finalize(read);
    return blob;
}

void SetBlobOfRecord(sqlite3* db, const std::string& name, const std::vector<uint8_t>& blob)
{
    sqlite3_stmt* write = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "UPDATE Images SET Image = ? WHERE FileName = ?", -1, &write, nullptr), SQLITE_OK);
    sqlite3_bind_blob(write, 1, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(write, 2, name.c_str(), -1, SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(write), SQLITE_DONE);
    sqlite3_finalize(write);
}

// Changes one byte of the blob of record name, behind the program's back.
void FlipBlobByte(const std::string& vault, const std::string& name, size_t at)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(vault.c_str(), &db), SQLITE_OK);
    std::vector<uint8_t> blob = BlobOfRecord(db, name);
    ASSERT_LT(at, blob.size());
    blob[at] ^= 0x01;
    SetBlobOfRecord(db, name, blob);
    sqlite3_close(db);
}

void SwapBlobs(const std::string& vault, const std::string& a, const std::string& b)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(vault.c_str(), &db), SQLITE_OK);
    const std::vector<uint8_t> first = BlobOfRecord(db, a);
    SetBlobOfRecord(db, a, BlobOfRecord(db, b));
    SetBlobOfRecord(db, b, first);
    sqlite3_close(db);
}

class EncryptionTest : public ::testing::Test {
protected:
    void SetUp() override { store.SetPasswordHashLimits(kQuick); }

    // A vault file holding the images given, as kind J.
    void MakeVault(const std::map<std::string, std::vector<uint8_t>>& images)
    {
        store.CreateNewTable();
        for (const auto& [name, bytes] : images)
            AppendImageRecord(store, name, 10, 20, "J", bytes);
        store.CDS.SetFileName(vault);
        store.CDS.Save();
        store.SetActive(false);
    }
    void Reopen(const std::string& password = {})
    {
        store.SetActive(false);
        store.CDS.SetFileName(vault);
        store.SetActive(true);
        if (!password.empty())
            store.CheckPassword(password);
    }
    std::vector<uint8_t> Image(const std::string& name)
    {
        EXPECT_TRUE(store.LocateRecord(name, "J")) << name;
        return store.CreateImageStream()->Bytes();
    }

    TempDir dir;
    const std::string vault = dir.File("v.gmb");
    TDMMain store;
    const std::map<std::string, std::vector<uint8_t>> images{
        {"a", RandomBytes(3000, 1)}, {"b", FileBytes(kJpeg)}, {"c", RandomBytes(70000, 3)}};
};

TEST_F(EncryptionTest, AMarkerInAnImageIsFoundOnlyUntilThePasswordIsSet)
{
    ScopedTempDir temp;
    const std::vector<uint8_t> comment = RandomBytes(40000, 7);
    const std::vector<uint8_t> marker(comment.begin() + 20000, comment.begin() + 20048);
    const std::vector<uint8_t> jpeg = JpegWithComment(comment);
    WriteBytes(dir.File("marked.jpg"), jpeg);

    // Untitled first: the records live in a temporary file until saved.
    store.CreateNewTable();
    store.StoreImageFile(false, "marked", "J", 227, 149, dir.File("marked.jpg"));
    AppendImageRecord(store, "other", 1, 1, "B", RandomBytes(5000, 8));
    EXPECT_FALSE(FilesHolding(temp.Path(), marker).empty()) << "the marker is not readable in a plain vault";
    store.SetPassword("", "Sunset-2024!");
    EXPECT_EQ(FilesHolding(temp.Path(), marker), std::vector<std::string>{}) << "plain bytes left in the temp folder";
    store.CDS.SaveToFile(vault);
    store.SetActive(false);
    EXPECT_FALSE(Contains(FileBytes(vault), marker));

    // A plain vault file given a password: nothing plain stays in its free
    // pages, and no journal is left beside it.
    store.CDS.SetFileName(vault);
    store.SetActive(true);
    store.CheckPassword("Sunset-2024!");
    store.SetPassword("Sunset-2024!", "");
    store.SetActive(false);
    ASSERT_TRUE(Contains(FileBytes(vault), marker));
    Reopen();
    store.SetPassword("", "Sunset-2024!");
    EXPECT_EQ(FilesHolding(dir.Path(), marker), std::vector<std::string>{dir.File("marked.jpg")});
    store.SetActive(false);
    EXPECT_EQ(FilesHolding(dir.Path(), marker), std::vector<std::string>{dir.File("marked.jpg")});
    EXPECT_EQ(FilesHolding(temp.Path(), marker), std::vector<std::string>{});
    EXPECT_FALSE(std::filesystem::exists(vault + "-journal"));
    // Neither the password nor its scrambled form is in the file.
    for (const std::string& text : {std::string("Sunset-2024!"), ScramblePassword("Sunset-2024!")})
        EXPECT_FALSE(Contains(FileBytes(vault), std::vector<uint8_t>(text.begin(), text.end()))) << text;

    Reopen("Sunset-2024!");
    EXPECT_EQ(Image("marked"), jpeg);
}

TEST_F(EncryptionTest, TheWrongPasswordOpensNothing)
{
    MakeVault(images);
    Reopen();
    store.SetPassword("", "right");
    Reopen();
    EXPECT_EQ(MessageOf([&] { store.CheckPassword("Right"); }), "Wrong password.");
    EXPECT_FALSE(store.Encrypted());
    ASSERT_TRUE(store.LocateRecord("a", "J"));
    EXPECT_EQ(MessageOf([&] { store.CreateImageStream(); }), "Image data is damaged or was changed.");
    EXPECT_EQ(MessageOf([&] { store.SaveImageToFile(dir.File("out")); }), "Image data is damaged or was changed.");
    EXPECT_FALSE(std::filesystem::exists(dir.File("out")));
    // Every stored blob is sealed: none is a zlib stream any more.
    for (const auto& [name, hex] : ShellBlobs(vault))
        EXPECT_EQ(hex.substr(0, 8), "474D4253") << name; // "GMBS"
    store.CheckPassword("right");
    EXPECT_TRUE(store.Encrypted());
    for (const auto& [name, bytes] : images)
        EXPECT_EQ(Image(name), bytes) << name;
    // The password record's own blob is sealed like the rest: an empty file.
    ASSERT_TRUE(store.LocatePassword());
    EXPECT_EQ(store.CreateImageStream()->Size(), 0);
}

TEST_F(EncryptionTest, AChangedBlobCostsOnlyItsRecord)
{
    MakeVault(images);
    Reopen();
    store.SetPassword("", "pw");
    store.SetActive(false);
    FlipBlobByte(vault, "b", 200);
    Reopen("pw");
    EXPECT_EQ(Image("a"), images.at("a"));
    EXPECT_EQ(Image("c"), images.at("c"));
    ASSERT_TRUE(store.LocateRecord("b", "J"));
    EXPECT_EQ(MessageOf([&] { store.CreateImageStream(); }), "Image data is damaged or was changed.");
    // Blobs moved between records open in neither.
    store.SetActive(false);
    SwapBlobs(vault, "a", "c");
    Reopen("pw");
    for (const char* name : {"a", "c"}) {
        ASSERT_TRUE(store.LocateRecord(name, "J"));
        EXPECT_EQ(MessageOf([&] { store.CreateImageStream(); }), "Image data is damaged or was changed.") << name;
    }
    // The damaged records can still be renamed and deleted; removing the
    // password leaves them as they are and decrypts the rest.
    store.RenameImage("a", "J", "a2");
    store.DeleteImage("c", "J");
    AppendImageRecord(store, "d", 1, 1, "J", images.at("a"));
    store.SetPassword("pw", "");
    EXPECT_FALSE(store.LocatePassword());
    EXPECT_EQ(Image("d"), images.at("a"));
    ASSERT_TRUE(store.LocateRecord("a2", "J"));
    EXPECT_EQ(MessageOf([&] { store.CreateImageStream(); }), "Image data is damaged or was changed.");
}

TEST_F(EncryptionTest, ChangingThePasswordRewritesNoBlobAndRemovingItRestoresZlibStreams)
{
    MakeVault(images);
    const std::map<std::string, std::string> plain = ShellBlobs(vault);
    ASSERT_EQ(plain.size(), 3u);
    Reopen();
    store.SetPassword("", "first");
    store.SetActive(false);
    const std::map<std::string, std::string> sealed = ShellBlobs(vault);
    ASSERT_EQ(sealed.size(), 3u);
    for (const auto& [name, hex] : sealed)
        EXPECT_NE(hex, plain.at(name)) << name;

    Reopen("first");
    EXPECT_EQ(MessageOf([&] { store.SetPassword("wrong", "second"); }), "Wrong password.");
    store.SetPassword("first", "second");
    store.SetActive(false);
    EXPECT_EQ(ShellBlobs(vault), sealed);
    Reopen();
    EXPECT_EQ(MessageOf([&] { store.CheckPassword("first"); }), "Wrong password.");
    store.CheckPassword("second");
    EXPECT_EQ(Image("b"), images.at("b"));

    store.SetPassword("any text", "");
    store.SetActive(false);
    const std::map<std::string, std::string> restored = ShellBlobs(vault);
    EXPECT_EQ(restored, plain);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(vault.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT FileName, Image FROM Images", -1, &stmt, nullptr), SQLITE_OK);
    int rows = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, 1));
        const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        EXPECT_EQ(Inflated(std::vector<uint8_t>(data, data + sqlite3_column_bytes(stmt, 1))), images.at(name));
        ++rows;
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    EXPECT_EQ(rows, 3) << "the password record went with the password";
}

TEST_F(EncryptionTest, AVaultWithTheScrambledPasswordOpensAndIsEncryptedThen)
{
    MakeVault(images);
    Reopen();
    // As older versions protected a vault: the scrambled text, plain blobs.
    AppendImageRecord(store, ScramblePassword("Sunset-2024!"), 0, 0, "\\", {});
    store.SetActive(false);
    const std::map<std::string, std::string> plain = ShellBlobs(vault);

    // Opened for reading it cannot change: it opens as it is.
    store.CDS.SetOpenForReading(true);
    Reopen();
    EXPECT_EQ(MessageOf([&] { store.CheckPassword("sunset-2024!"); }), "Wrong password.");
    store.CheckPassword("Sunset-2024!");
    EXPECT_FALSE(store.Encrypted());
    EXPECT_EQ(Image("a"), images.at("a"));
    store.SetActive(false);
    store.CDS.SetOpenForReading(false);
    EXPECT_EQ(ShellBlobs(vault), plain);

    Reopen();
    store.CheckPassword("Sunset-2024!");
    EXPECT_TRUE(store.Encrypted());
    ASSERT_TRUE(store.LocatePassword());
    EXPECT_NE(store.CDSFileName.AsString(), ScramblePassword("Sunset-2024!"));
    store.SetActive(false); // written already: nothing is pending
    const std::string text = ScramblePassword("Sunset-2024!");
    EXPECT_FALSE(Contains(FileBytes(vault), std::vector<uint8_t>(text.begin(), text.end())));
    for (const auto& [name, hex] : ShellBlobs(vault))
        EXPECT_NE(hex, plain.at(name)) << name;
    Reopen("Sunset-2024!");
    for (const auto& [name, bytes] : images)
        EXPECT_EQ(Image(name), bytes) << name;
}

TEST_F(EncryptionTest, ImagesAddedRenamedOrSavedElsewhereStaySealedAndReadable)
{
    MakeVault(images);
    Reopen();
    store.SetPassword("", "pw");
    WriteBytes(dir.File("new.jpg"), images.at("b"));
    store.StoreImageFile(false, "new", "J", 1, 1, dir.File("new.jpg"));
    store.RenameImage("a", "J", "renamed");
    // Replacing an image under a name that differs in case only.
    ASSERT_TRUE(store.LocateImageToReplace("C", "J"));
    store.StoreImageFile(true, "C", "J", 1, 1, dir.File("new.jpg"));
    store.CDS.SaveToFile(dir.File("copy.gmb"));
    store.SetActive(false);
    for (const std::string& path : {vault, dir.File("copy.gmb")}) {
        for (const auto& [name, hex] : ShellBlobs(path))
            EXPECT_EQ(hex.substr(0, 8), "474D4253") << path << " " << name;
        store.CDS.SetFileName(path);
        store.SetActive(true);
        store.CheckPassword("pw");
        EXPECT_EQ(Image("renamed"), images.at("a"));
        EXPECT_EQ(Image("new"), images.at("b"));
        EXPECT_EQ(Image("C"), images.at("b"));
        EXPECT_FALSE(store.LocateRecord("c", "J"));
        store.SetActive(false);
    }
}

TEST_F(EncryptionTest, ARewriteThatFailsHalfWayChangesNothing)
{
    MakeVault(images);
    const std::map<std::string, std::string> before = ShellBlobs(vault);
    Reopen();
    int seen = 0;
    EXPECT_EQ(MessageOf([&] {
                  store.CDS.RewriteBlobs([&](const TBlobRecord&, std::vector<uint8_t>) -> std::optional<std::vector<uint8_t>> {
                      if (++seen == 3)
                          throw Exception("no more");
                      return std::vector<uint8_t>{1, 2, 3};
                  });
              }),
              "no more");
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(Image("a"), images.at("a"));
    store.SetActive(false);
    EXPECT_EQ(ShellBlobs(vault), before);
    EXPECT_FALSE(std::filesystem::exists(vault + "-journal"));
}

} // namespace
