// The store module: compression, the image operations and New/Open.
#include "StoreTestSupport.h"

#include "../FileChecks.h"
#include "../PieceStream.h"
#include "store/UDMMain.h"

#include <zlib.h>

#include <functional>
#include <sys/wait.h>
#include <unistd.h>

using namespace storetest;

namespace {

const std::string kJpegDir = std::string(GMB_TEST_DATA) + "/jpeg/";

std::vector<uint8_t> Compress(const std::vector<uint8_t>& bytes)
{
    TMemoryStream in(bytes), out;
    in.SetPosition(in.Size()); // the position does not matter: all of it
    CompressStream(in, out);
    return out.Bytes();
}

std::vector<uint8_t> Decompress(const std::vector<uint8_t>& bytes)
{
    TMemoryStream in(bytes), out;
    DecompressStream(in, out);
    return out.Bytes();
}

TEST(CompressionTest, EmptyInputIsTheEightByteStream)
{
    EXPECT_EQ(Compress({}), (std::vector<uint8_t>{0x78, 0xDA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_TRUE(Decompress(Compress({})).empty());
}

std::vector<uint8_t> ZlibLevel9(const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> reference(compressBound(data.size()));
    uLongf n = reference.size();
    EXPECT_EQ(compress2(reference.data(), &n, data.data(), data.size(), 9), Z_OK);
    reference.resize(n);
    return reference;
}

std::vector<uint8_t> Joined(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<uint8_t> Text(size_t n)
{
    std::vector<uint8_t> text;
    for (size_t i = 0; i < n; ++i)
        text.push_back(static_cast<uint8_t>("glimmer "[i % 8]));
    return text;
}

TEST(CompressionTest, CompressibleFilesGiveZlibsOwnLevel9Stream)
{
    // Text; random bytes too short to sample; a random head before a
    // compressible middle (the middle decides).
    for (const auto& data : {Text(200000), RandomBytes(60000, 7), Joined(RandomBytes(90000, 8), Text(200000))}) {
        const auto packed = Compress(data);
        EXPECT_EQ(packed, ZlibLevel9(data));
        EXPECT_EQ(Decompress(packed), data);
    }
}

TEST(CompressionTest, AlreadyCompressedFilesGiveAValidStreamNoLargerThanZlibs)
{
    for (const auto& data : {RandomBytes(300001, 5), Joined(Text(20000), RandomBytes(200000, 9))}) {
        const auto packed = Compress(data);
        ASSERT_GE(packed.size(), 6u);
        EXPECT_EQ(packed[0], 0x78);
        EXPECT_EQ(packed[1], 0xDA);
        const uLong adler = adler32(adler32(0, nullptr, 0), data.data(), static_cast<uInt>(data.size()));
        const size_t t = packed.size() - 4;
        EXPECT_EQ((uLong(packed[t]) << 24) | (uLong(packed[t + 1]) << 16) | (uLong(packed[t + 2]) << 8) | packed[t + 3], adler);
        // zlib itself reads it back.
        std::vector<uint8_t> back(data.size());
        uLongf n = back.size();
        EXPECT_EQ(uncompress(back.data(), &n, packed.data(), packed.size()), Z_OK);
        EXPECT_EQ(back, data);
        EXPECT_EQ(Decompress(packed), data);
        const size_t zlibs = ZlibLevel9(data).size();
        EXPECT_LE(packed.size(), zlibs + zlibs / 1000);
    }
    // Made by the faster encoder, whose stored blocks cost less.
    const auto noise = RandomBytes(300001, 5);
    EXPECT_LT(Compress(noise).size(), ZlibLevel9(noise).size());
}

TEST(CompressionTest, DamagedStreamsRaiseErrorAndShortOnesGiveWhatCame)
{
    const auto data = RandomBytes(100000, 6);
    auto packed = Compress(data);

    auto badCheck = packed;
    badCheck.back() ^= 0xFF; // wrong Adler-32
    EXPECT_EQ(MessageOf([&] { Decompress(badCheck); }), "Error");
    auto badHeader = packed;
    badHeader[0] = 0x12;
    EXPECT_EQ(MessageOf([&] { Decompress(badHeader); }), "Error");
    std::vector<uint8_t> garbage(5000, 0xFF);
    EXPECT_EQ(MessageOf([&] { Decompress(garbage); }), "Error");

    auto shorter = packed;
    shorter.resize(packed.size() / 2);
    const auto part = Decompress(shorter);
    EXPECT_GT(part.size(), 0u);
    EXPECT_LT(part.size(), data.size());
    EXPECT_TRUE(std::equal(part.begin(), part.end(), data.begin()));
    EXPECT_TRUE(Decompress({}).empty());

    // Inflating stops at the stream's end and leaves the source just after it.
    auto trailing = packed;
    trailing.insert(trailing.end(), {'t', 'a', 'i', 'l'});
    TMemoryStream in(trailing), out;
    DecompressStream(in, out);
    EXPECT_EQ(out.Bytes(), data);
    EXPECT_EQ(in.Position(), static_cast<int64_t>(packed.size()));
}

struct InflateOutcome {
    std::vector<uint8_t> bytes;
    std::string error;
    int64_t position = 0;
    bool operator==(const InflateOutcome&) const = default;
};

template <class Source>
InflateOutcome InflateFrom(const std::vector<uint8_t>& packed)
{
    Source in(packed);
    TMemoryStream out;
    InflateOutcome o;
    o.error = MessageOf([&] { DecompressStream(in, out); });
    o.bytes = out.Bytes();
    o.position = in.Position();
    return o;
}

TEST(CompressionTest, WholeStreamsInMemoryInflateToTheStreamingInflatersBytes)
{
    std::vector<std::vector<uint8_t>> streams;
    for (const char* name : {"testorig.jpg", "testimgint.jpg", "cmyk.jpg"})
        streams.push_back(Compress(FileBytes(kJpegDir + name)));
    streams.push_back(Compress(Text(300000)));
    streams.push_back(Compress(std::vector<uint8_t>(4 << 20, 0))); // near deflate's largest ratio
    streams.push_back(Compress(RandomBytes(200000, 11)));
    const size_t sound = streams.size();
    const auto base = streams[0];
    auto cut = base;
    cut.resize(base.size() / 3);
    auto badCheck = base;
    badCheck.back() ^= 0x01;
    auto badMiddle = base;
    badMiddle[base.size() / 2] ^= 0x5A;
    auto trailing = base;
    trailing.insert(trailing.end(), 100, 0xEE);
    auto dictionary = base;
    dictionary[1] = 0xBB; // FDICT set, header check still valid (0x78BB % 31 == 0)
    for (const auto& s : {cut, badCheck, badMiddle, trailing, dictionary, std::vector<uint8_t>{0x78}})
        streams.push_back(s);
    for (size_t i = 0; i < streams.size(); ++i) {
        SCOPED_TRACE(i);
        const InflateOutcome whole = InflateFrom<TMemoryStream>(streams[i]);
        EXPECT_EQ(whole, InflateFrom<PieceStream>(streams[i]));
        if (i < sound) {
            EXPECT_EQ(whole.error, "");
            EXPECT_EQ(whole.position, static_cast<int64_t>(streams[i].size()));
        }
    }
    EXPECT_EQ(InflateFrom<TMemoryStream>(trailing).position, static_cast<int64_t>(base.size()));
    EXPECT_EQ(InflateFrom<TMemoryStream>(badCheck).error, "Error");
}

TEST(CompressionTest, AStreamInflatingBeyondItsLimitRaisesBeforeDestGetsMore)
{
    // 8 MB of zeros deflate to a few kilobytes: the bomb in miniature.
    const std::vector<uint8_t> zeros(8 << 20, 0);
    const auto packed = Compress(zeros);
    ASSERT_LT(packed.size(), 20000u);
    TMemoryStream in(packed), out;
    EXPECT_EQ(MessageOf([&] { DecompressStream(in, out, 1 << 20); }),
              "Image is too large: it inflates to more than 1048576 bytes");
    EXPECT_LE(out.Size(), 1 << 20);
    TMemoryStream again(packed), whole;
    DecompressStream(again, whole, 8 << 20); // exactly the limit is fine
    EXPECT_EQ(whole.Size(), 8 << 20);
}

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override { dm.CreateNewTable(); }

    void AddFile(const std::string& path, const std::string& name, const std::string& kind)
    {
        dm.CDS.Append();
        dm.CDSFileName.SetAsString(name);
        dm.CDSDimX.SetAsInteger(10);
        dm.CDSDimY.SetAsInteger(20);
        dm.LoadImageFromFile(path);
        dm.CDSImageType.SetAsString(kind);
        dm.CDS.Post();
    }

    TDMMain dm;
    TempDir dir;
};

TEST_F(StoreTest, RealFilesComeBackExactly)
{
    for (const char* name : {"testorig", "testimgari", "testimgint", "monkey12"})
        AddFile(kJpegDir + name + ".jpg", name, "J");
    for (const char* name : {"testorig", "testimgari", "testimgint", "monkey12"}) {
        SCOPED_TRACE(name);
        const auto original = FileBytes(kJpegDir + name + ".jpg");
        ASSERT_TRUE(dm.LocateImage(name, "J"));
        const auto blob = BlobOf(dm.CDS);
        ASSERT_GE(blob.size(), 2u);
        EXPECT_EQ(blob[0], 0x78);
        EXPECT_EQ(blob[1], 0xDA);
        const auto stream = dm.CreateImageStream();
        EXPECT_EQ(stream->Position(), 0);
        EXPECT_EQ(stream->Bytes(), original);
        const std::string out = dir.File(std::string(name) + ".jpg");
        WriteBytes(out, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}); // replaced, not appended to
        dm.SaveImageToFile(out);
        EXPECT_EQ(FileBytes(out), original);
    }
}

TEST_F(StoreTest, AnEmptyFileIsStoredAsTheEightByteStreamAndExtractsEmpty)
{
    const std::string empty = dir.File("nothing.bmp");
    WriteBytes(empty, {});
    AddFile(empty, "nothing", "B");
    EXPECT_EQ(BlobOf(dm.CDS), (std::vector<uint8_t>{0x78, 0xDA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
    const std::string out = dir.File("out.bmp");
    dm.SaveImageToFile(out);
    EXPECT_TRUE(std::filesystem::exists(out));
    EXPECT_EQ(std::filesystem::file_size(out), 0u);
}

TEST_F(StoreTest, ADamagedBlobRaisesErrorFromEveryReader)
{
    auto packed = Compress(RandomBytes(50000, 2));
    packed[packed.size() / 2] ^= 0x55;
    packed[packed.size() / 2 + 1] ^= 0xAA;
    packed.back() ^= 1;
    AddRecord(dm.CDS, "broken", "J", 1, 1, packed);
    EXPECT_EQ(MessageOf([&] { dm.CreateImageStream(); }), "Error");
    EXPECT_EQ(MessageOf([&] { dm.SaveImageToFile(dir.File("broken.jpg")); }), "Error");
    EXPECT_EQ(dm.CDS.State(), TDataSetState::Browse);
}

using filechecks::PlainCreateMessage;

// fn's result as a user without privileges gets it: run as nobody in a
// child process when the tests run as root, who may write anywhere.
std::string AsUnprivilegedUser(const std::function<std::string()>& fn)
{
    if (::geteuid() != 0)
        return fn();
    int fds[2];
    if (::pipe(fds) != 0)
        return "(no pipe)";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        const std::string text = fn();
        const ssize_t n = ::write(fds[1], text.data(), text.size());
        ::_exit(n == static_cast<ssize_t>(text.size()) ? 0 : 3);
    }
    ::close(fds[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return text;
}

TEST_F(StoreTest, ADamagedRecordExtractedOverAFileLeavesItWhole)
{
    // A wrong check value: found only once every byte has been inflated.
    auto packed = Compress(RandomBytes(300000, 5));
    packed.back() ^= 1;
    AddRecord(dm.CDS, "broken", "J", 1, 1, packed);
    const std::string out = dir.File("photo.jpg");
    const auto mine = RandomBytes(1000, 6);
    WriteBytes(out, mine);
    EXPECT_EQ(MessageOf([&] { dm.SaveImageToFile(out); }), "Error");
    EXPECT_EQ(FileBytes(out), mine);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"photo.jpg"});
    // Where there was no file, none is left.
    EXPECT_EQ(MessageOf([&] { dm.SaveImageToFile(dir.File("new.jpg")); }), "Error");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"photo.jpg"});
}

TEST_F(StoreTest, ExtractedFilesGetTheUsualModeOrKeepTheirOwn)
{
    AddFile(kJpegDir + "testorig.jpg", "a", "J");
    using filechecks::ModeOf;
    const std::string made = dir.File("made.jpg");
    dm.SaveImageToFile(made);
    EXPECT_EQ(ModeOf(made), 0666 & ~filechecks::CurrentUmask());
    const std::string kept = dir.File("kept.jpg");
    WriteBytes(kept, {1, 2, 3});
    ASSERT_EQ(::chmod(kept.c_str(), 0604), 0);
    dm.SaveImageToFile(kept);
    EXPECT_EQ(ModeOf(kept), 0604u);
    EXPECT_EQ(FileBytes(kept), FileBytes(kJpegDir + "testorig.jpg"));
}

TEST_F(StoreTest, AFolderThatCannotTakeTheFileGivesThePlainCreateMessage)
{
    AddFile(kJpegDir + "testorig.jpg", "a", "J");
    WriteBytes(dir.File("plain"), {1});
    for (const std::string& path : {dir.File("missing/a.jpg"), dir.File("plain/a.jpg")}) {
        SCOPED_TRACE(path);
        const std::string message = MessageOf([&] { dm.SaveImageToFile(path); });
        EXPECT_EQ(message.rfind("Cannot create file \"" + path + "\". ", 0), 0u) << message;
        EXPECT_EQ(message, PlainCreateMessage(path));
    }
    // A folder the user may look into but not write to, new file or old.
    const std::string locked = dir.File("locked");
    ASSERT_EQ(::mkdir(locked.c_str(), 0755), 0);
    WriteBytes(locked + "/old.jpg", {1, 2, 3});
    ASSERT_EQ(::chmod((locked + "/old.jpg").c_str(), 0444), 0);
    ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    for (const std::string& path : {locked + "/a.jpg", locked + "/old.jpg"}) {
        SCOPED_TRACE(path);
        const std::string message = AsUnprivilegedUser([&] { return MessageOf([&] { dm.SaveImageToFile(path); }); });
        EXPECT_EQ(message.rfind("Cannot create file \"" + path + "\". ", 0), 0u) << message;
        EXPECT_EQ(message, AsUnprivilegedUser([&] { return PlainCreateMessage(path); }));
    }
    EXPECT_EQ(FileBytes(locked + "/old.jpg"), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(locked), std::filesystem::directory_iterator()), 1);
    ::chmod(locked.c_str(), 0755); // so that it can be cleared away
}

TEST_F(StoreTest, LoadingAMissingFileRaisesThePlatformErrorAndStoresNothing)
{
    dm.CDS.Append();
    const std::string message = MessageOf([&] { dm.LoadImageFromFile(dir.File("none.jpg")); });
    EXPECT_EQ(message.rfind("Cannot open file \"", 0), 0u) << message;
    EXPECT_TRUE(dm.CDSImage.IsNull());
    EXPECT_EQ(dm.CDS.State(), TDataSetState::Insert);
    dm.CDS.Cancel();
}

TEST_F(StoreTest, LocateImageIgnoresLetterCaseInNameAndKind)
{
    AddRecord(dm.CDS, "Photo", "B");
    AddRecord(dm.CDS, "Ärger", "G");
    AddRecord(dm.CDS, "zz", "B");
    EXPECT_TRUE(dm.LocateImage("photo", "B"));
    EXPECT_EQ(dm.CDSFileName.AsString(), "Photo");
    EXPECT_TRUE(dm.LocateImage("PHOTO", "b"));
    EXPECT_TRUE(dm.LocateImage("ärger", "g"));
    EXPECT_FALSE(dm.LocateImage("photo", "J"));
    EXPECT_EQ(dm.CDSFileName.AsString(), "Ärger"); // cursor unchanged
}

TEST_F(StoreTest, DeleteAndRenameOfMissingNamesChangeNothing)
{
    AddRecord(dm.CDS, "a", "B");
    AddRecord(dm.CDS, "b", "B");
    dm.CDS.SetFileName(dir.File("v.gmb"));
    dm.CDS.Save();
    dm.CDS.First();
    dm.DeleteImage("c", "B");
    dm.DeleteImage("a", "J");
    dm.RenameImage("zzz", "B", "new");
    EXPECT_EQ(dm.CDS.RecordCount(), 2);
    EXPECT_EQ(dm.CDSFileName.AsString(), "a");
    EXPECT_FALSE(dm.CDS.HasChanges());
    EXPECT_EQ(dm.CDS.State(), TDataSetState::Browse);

    // A command on a record acts on exactly that record: another letter
    // case is another record.
    dm.DeleteImage("A", "b");
    dm.RenameImage("A", "B", "new");
    EXPECT_EQ(dm.CDS.RecordCount(), 2);
    EXPECT_FALSE(dm.CDS.HasChanges());
    dm.DeleteImage("a", "B");
    EXPECT_EQ(dm.CDS.RecordCount(), 1);
    EXPECT_EQ(dm.CDSFileName.AsString(), "b");
}

TEST_F(StoreTest, LocateRecordTakesExactlyTheNameBytesAndKind)
{
    AddRecord(dm.CDS, "Photo", "B");
    AddRecord(dm.CDS, "photo", "B");
    AddRecord(dm.CDS, "caf\xE9", "B"); // no UTF-8: another program's bytes
    EXPECT_TRUE(dm.LocateRecord("photo", "B"));
    EXPECT_EQ(dm.CDSFileName.AsString(), "photo");
    EXPECT_TRUE(dm.LocateRecord("Photo", "B"));
    EXPECT_EQ(dm.CDSFileName.AsString(), "Photo");
    EXPECT_FALSE(dm.LocateRecord("PHOTO", "B"));
    EXPECT_FALSE(dm.LocateRecord("photo", "b"));
    EXPECT_TRUE(dm.LocateRecord("caf\xE9", "B"));
    EXPECT_EQ(dm.CDSFileName.AsString(), "caf\xE9");
    dm.RenameImage("photo", "B", "other");
    EXPECT_TRUE(dm.LocateRecord("Photo", "B"));
    EXPECT_TRUE(dm.LocateRecord("other", "B"));
}

TEST_F(StoreTest, NamesAreKeptWholeUpTo255BytesAndAClashLeavesTheTableInBrowseState)
{
    AddRecord(dm.CDS, "a", "B");
    AddRecord(dm.CDS, "b", "B");
    const std::string longest = std::string(253, 'x') + "\xC3\xA9"; // 255 bytes
    dm.RenameImage("a", "B", longest);
    ASSERT_TRUE(dm.LocateRecord(longest, "B"));
    EXPECT_EQ(dm.CDSFileName.AsString(), longest);

    // One byte more is refused, not cut; the record keeps its name.
    const std::string tooLong = std::string(254, 'x') + "\xC3\xA9";
    EXPECT_EQ(MessageOf([&] { dm.RenameImage(longest, "B", tooLong); }),
              "The image name is too long: 256 bytes, and a vault keeps at most 255 (UTF-8).");
    EXPECT_TRUE(dm.LocateRecord(longest, "B"));
    EXPECT_EQ(MessageOf([&] { dm.CheckNewImageName(tooLong, "B"); }),
              "The image name is too long: 256 bytes, and a vault keeps at most 255 (UTF-8).");
    EXPECT_EQ(MessageOf([&] { dm.StorePackedImage(false, tooLong, "J", 1, 1, {1, 2}); }),
              "The image name is too long: 256 bytes, and a vault keeps at most 255 (UTF-8).");
    EXPECT_EQ(dm.CDS.RecordCount(), 2);
    // Two long names alike in their first 32 characters are two records.
    EXPECT_FALSE(dm.LocateImageToReplace(std::string(40, 'x'), "B"));

    const std::string message = MessageOf([&] { dm.RenameImage("b", "B", longest); });
    EXPECT_EQ(message.rfind("Key violation", 0), 0u) << message;
    EXPECT_EQ(dm.CDS.State(), TDataSetState::Browse);
    EXPECT_TRUE(dm.LocateImage("b", "B"));
}

TEST_F(StoreTest, ActiveAndNewFollowTheFileLifecycle)
{
    AddRecord(dm.CDS, "a", "B");
    const std::string path = dir.File("v.gmb");
    dm.CDS.SetFileName(path);
    dm.CDS.Save(); // Save As
    AddRecord(dm.CDS, "b", "B");

    dm.CreateNewTable(); // writes the bound table back, then starts empty
    EXPECT_TRUE(dm.Active());
    EXPECT_EQ(dm.CDS.FileName(), "");
    EXPECT_EQ(dm.CDS.RecordCount(), 0);
    EXPECT_TRUE(dm.CDS.LogChanges());

    dm.SetActive(false);
    dm.CDS.SetFileName(path);
    dm.SetActive(true);
    EXPECT_FALSE(dm.CDS.LogChanges());
    EXPECT_EQ(dm.CDS.RecordCount(), 2);
    dm.SetActive(true); // already open: nothing happens
    EXPECT_EQ(dm.CDS.RecordCount(), 2);

    dm.SetActive(false);
    dm.CDS.SetFileName(dir.File("missing.gmb"));
    EXPECT_EQ(MessageOf([&] { dm.SetActive(true); }), "CDS: Missing data provider or data packet");
    EXPECT_FALSE(dm.Active());
}

} // namespace

TEST_F(StoreTest, PasswordsOfVaultsMadeElsewhereAreRemovedWholeAndAnUntypeableOneSaysSo)
{
    // Two password records, as a vault made by another program may hold.
    // The first in key order ("c") is the one asked for.
    for (const std::string& scrambled : {ScramblePassword("x"), ScramblePassword("b")})
        AppendImageRecord(dm, scrambled, 0, 0, "\\", {});
    AppendImageRecord(dm, "photo", 3, 4, "J", {1, 2});
    EXPECT_EQ(MessageOf([&] { dm.SetPassword("x", "third"); }), "Wrong password.");
    dm.SetPassword("b", "third");
    dm.CheckPassword("third");
    ASSERT_TRUE(dm.LocatePassword());
    dm.CDS.Delete();
    EXPECT_FALSE(dm.LocatePassword()); // the other one went with the change
    AppendImageRecord(dm, ScramblePassword("again"), 0, 0, "\\", {});
    AppendImageRecord(dm, ScramblePassword("more"), 0, 0, "\\", {});
    dm.SetPassword("", "");
    EXPECT_FALSE(dm.LocatePassword());
    EXPECT_TRUE(dm.LocateImage("photo", "J"));

    // A stored name no typed password gives (its first character would be
    // typed as code 0): the error says so instead of "Wrong password.".
    AppendImageRecord(dm, std::string("\x01zz"), 0, 0, "\\", {});
    EXPECT_EQ(MessageOf([&] { dm.CheckPassword("anything"); }),
              "The password of this vault cannot be typed: it was not set by Glimmerbox.");
    dm.SetPassword("", "");
    AppendImageRecord(dm, ScramblePassword("typed"), 0, 0, "\\", {});
    EXPECT_EQ(MessageOf([&] { dm.CheckPassword("anything"); }), "Wrong password.");
}
