// glimmerbox-vault run as a user runs it: each command's output, errors and
// exit status over temporary vaults made from real files of every kind.
#include "../DamagedImages.h"
#include "../store/StoreTestSupport.h"

#include "imaging/ThumbnailCache.h"
#include "store/UDMMain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <filesystem>
#include <map>
#include <zlib.h>

namespace {

namespace fs = std::filesystem;
using storetest::FileBytes;
using storetest::TempDir;
using storetest::WriteBytes;

const std::string kData = GMB_TEST_DATA;

struct ToolResult {
    int status = -1;
    std::string out;
    std::string err;
};

ToolResult Vault(const std::vector<std::string>& args, const std::string& cacheHome = std::string())
{
    QProcess p;
    if (!cacheHome.empty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CACHE_HOME", QString::fromStdString(cacheHome));
        p.setProcessEnvironment(env);
    }
    QStringList list;
    for (const std::string& a : args)
        list << QString::fromStdString(a);
    p.setProgram(GMB_VAULT_TOOL);
    p.setArguments(list);
    p.setStandardInputFile(QProcess::nullDevice()); // no terminal: never asks
    p.start();
    EXPECT_TRUE(p.waitForFinished(60000));
    ToolResult r;
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput().toStdString();
    r.err = p.readAllStandardError().toStdString();
    return r;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class VaultTool : public ::testing::Test {
protected:
    TempDir dir;
    std::string vault = dir.File("v.gmb");

    // A folder of one good file of each kind, in two levels, plus files that
    // are no images and a file of another kind that is not added at all.
    std::string MixedFolder()
    {
        const fs::path pics = dir.Path() / "pics";
        fs::create_directories(pics / "deeper");
        fs::copy_file(kData + "/jpeg/testorig.jpg", pics / "Sunset.jpeg");
        fs::copy_file(kData + "/bmp/g/pal8.bmp", pics / "deeper" / "pal8.bmp");
        fs::copy_file(kData + "/ico/favicon.ico", pics / "favicon.ico");
        fs::copy_file(kData + "/gif-suite/animation.gif", pics / "deeper" / "animation.gif");
        fs::copy_file(kData + "/wmf/Eg.wmf", pics / "Eg.wmf");
        fs::copy_file(kData + "/emf/test-008.emf", pics / "test-008.emf");
        WriteBytes((pics / "broken.gif").string(), {'G', 'I', 'F', '8', '9', 'a', 1, 0});
        WriteBytes((pics / "deeper" / "fake.jpg").string(), {'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'});
        WriteBytes((pics / "notes.txt").string(), {'h', 'i'});
        return pics.string();
    }
};

TEST_F(VaultTool, UsageErrorsExitTwoAndHelpExitsZero)
{
    EXPECT_EQ(Vault({}).status, 2);
    const ToolResult unknown = Vault({"frobnicate", vault});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(Contains(unknown.err, "Unknown command \"frobnicate\"")) << unknown.err;
    EXPECT_TRUE(unknown.out.empty());
    EXPECT_EQ(Vault({"list"}).status, 2);
    EXPECT_EQ(Vault({"list", "--bogus", vault}).status, 2);
    EXPECT_EQ(Vault({"rename", vault, "a.jpg"}).status, 2);
    EXPECT_EQ(Vault({"list", vault, "extra"}).status, 2);
    const ToolResult noFolder = Vault({"extract", vault});
    EXPECT_EQ(noFolder.status, 2);
    EXPECT_TRUE(Contains(noFolder.err, "-o DIR"));
    EXPECT_FALSE(fs::exists(vault)); // usage errors touch nothing

    const ToolResult help = Vault({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* command : {"list", "stat", "add", "extract", "remove", "rename", "check"})
        EXPECT_TRUE(Contains(help.out, std::string("  ") + command + " VAULT")) << command;
    const ToolResult addHelp = Vault({"add", "--help"});
    EXPECT_EQ(addHelp.status, 0);
    EXPECT_TRUE(Contains(addHelp.out, "--replace"));
    EXPECT_TRUE(Contains(addHelp.out, "add VAULT FILE|FOLDER..."));
    EXPECT_FALSE(Contains(Vault({"list", "--help"}).out, "--replace"));
    const ToolResult version = Vault({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(Contains(version.out, "glimmerbox-vault 3.2"));
}

TEST_F(VaultTool, AddStoresGoodFilesNamesBadOnesAndListsThem)
{
    const std::string pics = MixedFolder();
    const ToolResult add = Vault({"add", vault, pics});
    EXPECT_EQ(add.status, 1); // some failed
    EXPECT_TRUE(Contains(add.err, "broken.gif: ")) << add.err;
    EXPECT_TRUE(Contains(add.err, "fake.jpg: ")) << add.err;
    EXPECT_FALSE(Contains(add.err, "notes.txt")); // not an image kind: not looked at
    EXPECT_TRUE(Contains(add.out, "added: " + pics + "/Sunset.jpeg\n")) << add.out;
    EXPECT_TRUE(Contains(add.out, "added: " + pics + "/deeper/pal8.bmp\n")) << add.out;

    const ToolResult list = Vault({"list", vault});
    EXPECT_EQ(list.status, 0) << list.err;
    // Key order (name, then kind); width and height as loaded; stored bytes
    // are the blob's length.
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = list.out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(list.out.substr(at, nl - at));
    ASSERT_EQ(lines.size(), 6u) << list.out;
    EXPECT_EQ(lines[0].rfind("Eg.wmf\tW\t", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("Sunset.jpg\tJ\t227\t149\t", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("animation.gif\tG\t", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind("favicon.ico\tI\t", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4].rfind("pal8.bmp\tB\t127\t64\t", 0), 0u) << lines[4];
    EXPECT_EQ(lines[5].rfind("test-008.emf\tE\t", 0), 0u) << lines[5];

    int64_t sunsetBytes = 0;
    {
        TDMMain store;
        store.CDS.SetFileName(vault);
        store.SetActive(true);
        ASSERT_TRUE(store.LocateImage("Sunset", "J"));
        sunsetBytes = store.CDSImage.BlobSize();
        EXPECT_EQ(store.CreateImageStream()->Bytes(), FileBytes(pics + "/Sunset.jpeg"));
        EXPECT_FALSE(store.LocateImage("broken", "G"));
        EXPECT_FALSE(store.LocateImage("fake", "J"));
        store.SetActive(false);
    }
    EXPECT_EQ(lines[1], "Sunset.jpg\tJ\t227\t149\t" + std::to_string(sunsetBytes));

    const ToolResult json = Vault({"list", "--json", vault});
    EXPECT_EQ(json.status, 0);
    const QJsonArray records = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).array();
    ASSERT_EQ(records.size(), 6);
    const QJsonObject sunset = records[1].toObject();
    EXPECT_EQ(sunset["name"].toString(), "Sunset");
    EXPECT_EQ(sunset["kind"].toString(), "J");
    EXPECT_EQ(sunset["file"].toString(), "Sunset.jpg");
    EXPECT_EQ(sunset["width"].toInt(), 227);
    EXPECT_EQ(sunset["height"].toInt(), 149);
    EXPECT_EQ(sunset["storedBytes"].toInteger(), sunsetBytes);

    const ToolResult stat = Vault({"stat", vault});
    EXPECT_EQ(stat.status, 0);
    EXPECT_EQ(stat.out, "Bitmaps:             1\nIcons:               1\nEnhanced metafiles:  1\n"
                        "Metafiles:           1\nJPEGs:               1\nGIFs:                1\n"
                        "PNGs:                0\nWebPs:               0\nTIFFs:               0\n"
                        "HEIFs:               0\nAVIFs:               0\n");
    const QJsonObject counts = QJsonDocument::fromJson(QByteArray::fromStdString(Vault({"stat", "--json", vault}).out)).object();
    EXPECT_EQ(counts["J"].toInt(), 1);
    EXPECT_EQ(counts.size(), 11);
}

TEST_F(VaultTool, TheNewerKindsAreFoundInFoldersInAnyLetterCaseAndCounted)
{
    const fs::path pics = dir.Path() / "phone";
    fs::create_directories(pics / "web");
    fs::copy_file(kData + "/png/rgba8.png", pics / "Shot.PNG");
    fs::copy_file(kData + "/png/rgb16.png", pics / "deep.png");
    fs::copy_file(kData + "/webp/lossy-alpha.webp", pics / "web" / "sticker.WebP");
    fs::copy_file(kData + "/webp/animated.webp", pics / "web" / "anim.webp");
    fs::copy_file(kData + "/tiff/multipage.tif", pics / "scan.TIFF");
    fs::copy_file(kData + "/heif/photo.heic", pics / "IMG_0001.HEIC");
    fs::copy_file(kData + "/heif/small.heif", pics / "small.heif");
    fs::copy_file(kData + "/avif/alpha.avif", pics / "web" / "hero.avif");
    // Damaged files of the new kinds are named and skipped; files whose
    // extension is no kind's are not looked at.
    fs::copy_file(kData + "/tiff/truncated.tif.bad", pics / "cut.tif");
    fs::copy_file(kData + "/png/lying-header.png.bad", pics / "lying.png");
    fs::copy_file(kData + "/heif/truncated.heic.bad", pics / "truncated.heic.bad");

    const ToolResult add = Vault({"add", vault, pics.string()});
    EXPECT_EQ(add.status, 1);
    EXPECT_TRUE(Contains(add.err, "cut.tif: TIFF image is not valid: ")) << add.err;
    EXPECT_TRUE(Contains(add.err, "lying.png: PNG image is not valid: 60000x60000 pixels cannot come from a file of")) << add.err;
    EXPECT_FALSE(Contains(add.err, "truncated.heic.bad"));

    const ToolResult list = Vault({"list", vault});
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = list.out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(list.out.substr(at, nl - at));
    const std::vector<std::string> expected = {"IMG_0001.heic\tH\t64\t42\t", "Shot.png\tP\t64\t42\t", "anim.webp\tV\t64\t42\t",
                                               "deep.png\tP\t64\t42\t",      "hero.avif\tA\t64\t42\t", "scan.tif\tT\t64\t42\t",
                                               "small.heic\tH\t40\t26\t",    "sticker.webp\tV\t64\t42\t"};
    ASSERT_EQ(lines.size(), expected.size()) << list.out;
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].rfind(expected[i], 0), 0u) << lines[i];

    const QJsonObject counts = QJsonDocument::fromJson(QByteArray::fromStdString(Vault({"stat", "--json", vault}).out)).object();
    EXPECT_EQ(counts["P"].toInt(), 2);
    EXPECT_EQ(counts["V"].toInt(), 2);
    EXPECT_EQ(counts["T"].toInt(), 1);
    EXPECT_EQ(counts["H"].toInt(), 2);
    EXPECT_EQ(counts["A"].toInt(), 1);
    EXPECT_EQ(counts["W"].toInt(), 0); // WebP is not the metafile's W

    // Named as listed, the records are found again; extracted, they keep
    // the stored bytes under the shown extension.
    const fs::path out = dir.Path() / "out";
    ASSERT_EQ(Vault({"extract", vault, "sticker.webp", "scan.tif", "-o", out.string()}).status, 0);
    EXPECT_EQ(FileBytes((out / "sticker.webp").string()), FileBytes((pics / "web" / "sticker.WebP").string()));
    EXPECT_EQ(FileBytes((out / "scan.tif").string()), FileBytes((pics / "scan.TIFF").string()));
}

TEST_F(VaultTool, ExistingImagesAreSkippedUnlessReplaced)
{
    const std::string first = dir.File("photo.jpg");
    const std::string second = dir.File("PHOTO.jpeg");
    fs::copy_file(kData + "/jpeg/testorig.jpg", first);
    fs::copy_file(kData + "/jpeg/gray.jpg", second);
    ASSERT_EQ(Vault({"add", vault, first}).status, 0);
    const ToolResult skipped = Vault({"add", vault, first});
    EXPECT_EQ(skipped.status, 0); // a skip is no failure
    EXPECT_EQ(skipped.out, "skipped (already in the vault): " + first + "\n");
    EXPECT_TRUE(skipped.err.empty()) << skipped.err; // no progress when stderr is no terminal
    // Another name in letter case only: not in the vault, and not called so.
    const ToolResult other = Vault({"add", vault, second});
    EXPECT_EQ(other.status, 1);
    EXPECT_TRUE(other.out.empty()) << other.out;
    EXPECT_EQ(other.err, "glimmerbox-vault: " + second +
                             ": Not stored: the vault holds \"photo.jpg\", whose name differs only in letter case; "
                             "add with --replace to replace it.\n");
    EXPECT_EQ(Vault({"list", vault}).out.rfind("photo.jpg\tJ\t227\t149\t", 0), 0u);

    const ToolResult replaced = Vault({"add", "--replace", vault, second});
    EXPECT_EQ(replaced.status, 0);
    EXPECT_TRUE(Contains(replaced.out, "replaced: " + second));
    TDMMain store;
    store.CDS.SetFileName(vault);
    store.SetActive(true);
    EXPECT_EQ(store.CDS.RecordCount(), 1);
    ASSERT_TRUE(store.LocateImage("photo", "J"));
    EXPECT_EQ(store.CDSFileName.AsString(), "PHOTO"); // takes the name as the new file writes it
    EXPECT_EQ(store.CreateImageStream()->Bytes(), FileBytes(second));
}

TEST_F(VaultTool, MissingVaultOrFileIsAnErrorAndNothingIsCreatedForNothing)
{
    const ToolResult list = Vault({"list", vault});
    EXPECT_EQ(list.status, 1);
    EXPECT_TRUE(Contains(list.err, "there is no such file")) << list.err;
    const ToolResult add = Vault({"add", vault, dir.File("nothing-here.jpg")});
    EXPECT_EQ(add.status, 1);
    EXPECT_TRUE(Contains(add.err, "nothing-here.jpg: No such file or folder.")) << add.err;
    EXPECT_FALSE(fs::exists(vault));

    // A file that is not a vault is refused and left as it was.
    const std::string text = dir.File("text.gmb");
    WriteBytes(text, {'h', 'e', 'l', 'l', 'o'});
    const ToolResult foreign = Vault({"add", text, kData + "/jpeg/testorig.jpg"});
    EXPECT_EQ(foreign.status, 1);
    EXPECT_TRUE(Contains(foreign.err, "Cannot open vault")) << foreign.err;
    EXPECT_EQ(FileBytes(text), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
}

TEST_F(VaultTool, ExtractWritesStoredBytesUnderSafeNamesInsideTheFolder)
{
    {
        TDMMain store;
        store.CreateNewTable();
        const auto put = [&](const std::string& name, const std::string& kind, const std::string& file) {
            store.StoreImageFile(false, name, kind, 1, 1, file);
        };
        put("Sunset", "J", kData + "/jpeg/testorig.jpg");
        put("a", "B", kData + "/bmp/g/pal8.bmp");
        put("a", "G", kData + "/gif-suite/animation.gif");
        put("../../escape", "B", kData + "/bmp/g/pal4.bmp");
        put("x:y", "B", kData + "/bmp/g/pal1.bmp");
        put("x_y", "B", kData + "/bmp/g/pal8gs.bmp");
        store.CDS.SetFileName(vault);
        store.CDS.Save();
        store.SetActive(false);
    }
    const std::string out = dir.File("out/nested");
    const ToolResult all = Vault({"extract", vault, "-o", out});
    // "x:y" and "x_y" both make x_y.bmp: the second is refused, not written over the first.
    EXPECT_EQ(all.status, 1);
    EXPECT_TRUE(Contains(all.err, "x_y.bmp: Another image of this run was already extracted")) << all.err;
    EXPECT_EQ(FileBytes(out + "/Sunset.jpg"), FileBytes(kData + "/jpeg/testorig.jpg"));
    EXPECT_EQ(FileBytes(out + "/a.bmp"), FileBytes(kData + "/bmp/g/pal8.bmp"));
    EXPECT_EQ(FileBytes(out + "/a.gif"), FileBytes(kData + "/gif-suite/animation.gif"));
    EXPECT_EQ(FileBytes(out + "/.._.._escape.bmp"), FileBytes(kData + "/bmp/g/pal4.bmp"));
    EXPECT_EQ(FileBytes(out + "/x_y.bmp"), FileBytes(kData + "/bmp/g/pal1.bmp")); // key order: "x:y" first
    EXPECT_FALSE(fs::exists(dir.File("escape.bmp")));
    EXPECT_FALSE(fs::exists(dir.File("out/escape.bmp")));

    const std::string two = dir.File("two");
    const ToolResult named = Vault({"extract", vault, "sunset.JPEG", "a.gif", "missing.bmp", "-o", two});
    EXPECT_EQ(named.status, 1);
    EXPECT_TRUE(Contains(named.err, "missing.bmp: There is no such image in the vault.")) << named.err;
    std::vector<std::string> written;
    for (const auto& e : fs::directory_iterator(two))
        written.push_back(e.path().filename().string());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{"Sunset.jpg", "a.gif"}));
}

TEST_F(VaultTool, ExtractingADamagedRecordLeavesTheFileItWouldReplace)
{
    {
        TDMMain store;
        store.CreateNewTable();
        store.StoreImageFile(false, "a", "B", 1, 1, kData + "/bmp/g/pal8.bmp");
        TMemoryStream raw(FileBytes(kData + "/jpeg/testorig.jpg")), packed;
        CompressStream(raw, packed);
        std::vector<uint8_t> bad = packed.TakeBytes();
        bad.back() ^= 1; // the check value: found once every byte is inflated
        store.StorePackedImage(false, "Sunset", "J", 1, 1, bad);
        store.CDS.SetFileName(vault);
        store.CDS.Save();
        store.SetActive(false);
    }
    const fs::path out = dir.Path() / "out";
    fs::create_directories(out);
    const std::vector<uint8_t> mine{'m', 'i', 'n', 'e'};
    WriteBytes((out / "Sunset.jpg").string(), mine);
    const ToolResult r = Vault({"extract", vault, "-o", out.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "Sunset.jpg: Error\n")) << r.err;
    EXPECT_EQ(FileBytes((out / "Sunset.jpg").string()), mine);
    EXPECT_EQ(FileBytes((out / "a.bmp").string()), FileBytes(kData + "/bmp/g/pal8.bmp"));
    std::vector<std::string> written;
    for (const auto& e : fs::directory_iterator(out))
        written.push_back(e.path().filename().string());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{"Sunset.jpg", "a.bmp"}));
}

TEST_F(VaultTool, RemoveAndRenameFollowTheWindowsRules)
{
    ASSERT_EQ(Vault({"add", vault, kData + "/jpeg/testorig.jpg", kData + "/jpeg/gray.jpg", kData + "/bmp/g/pal8.bmp"}).status, 0);

    const ToolResult dup = Vault({"rename", vault, "testorig.jpg", " Gray "});
    EXPECT_EQ(dup.status, 1);
    EXPECT_TRUE(Contains(dup.err, "Image name duplication.")) << dup.err;
    const ToolResult blank = Vault({"rename", vault, "testorig.jpg", "   "});
    EXPECT_EQ(blank.status, 1);
    EXPECT_TRUE(Contains(blank.err, "Invalid image name."));
    EXPECT_EQ(Vault({"rename", vault, "testorig.jpg", "a/b"}).status, 1);
    const ToolResult other = Vault({"rename", vault, "pal8.bmp", "gray"}); // same name, other kind: fine
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_EQ(other.out, "renamed: pal8.bmp -> gray.bmp\n");
    const ToolResult ok = Vault({"rename", vault, "TESTORIG.jpg", "  Dawn  "});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "renamed: testorig.jpg -> Dawn.jpg\n");

    const ToolResult remove = Vault({"remove", vault, "gray.bmp", "nothere.gif", "noextension"});
    EXPECT_EQ(remove.status, 1);
    EXPECT_EQ(remove.out, "removed: gray.bmp\n");
    EXPECT_TRUE(Contains(remove.err, "nothere.gif: There is no such image in the vault."));
    EXPECT_TRUE(Contains(remove.err, "noextension: Name the image with the extension of its kind"));

    const ToolResult list = Vault({"list", vault});
    EXPECT_EQ(list.out.substr(0, 11), "Dawn.jpg\tJ\t");
    EXPECT_TRUE(Contains(list.out, "\ngray.jpg\tJ\t"));
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 2);
}

TEST_F(VaultTool, ProtectedVaultNeedsItsPassword)
{
    ASSERT_EQ(Vault({"add", vault, kData + "/jpeg/testorig.jpg"}).status, 0);
    {
        TDMMain store;
        store.CDS.SetFileName(vault);
        store.SetActive(true);
        store.SetPassword("", "Secret");
        store.SetActive(false);
    }
    const auto before = FileBytes(vault);
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"list", vault}, {"remove", vault, "testorig.jpg"}, {"add", vault, kData + "/bmp/g/pal8.bmp"}}) {
        const ToolResult refused = Vault(command);
        EXPECT_EQ(refused.status, 1) << command[0];
        EXPECT_TRUE(Contains(refused.err, "is protected by a password: give it with --password.")) << refused.err;
        EXPECT_TRUE(refused.out.empty());
        const std::vector<std::string> wrong = [&] {
            auto c = command;
            c.insert(c.begin() + 1, {"--password", "secret"}); // letter case counts
            return c;
        }();
        const ToolResult wrongRun = Vault(wrong);
        EXPECT_EQ(wrongRun.status, 1);
        EXPECT_EQ(wrongRun.err, "glimmerbox-vault: Wrong password.\n");
    }
    EXPECT_EQ(FileBytes(vault), before);

    const ToolResult list = Vault({"list", "--password=Secret", vault});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out.rfind("testorig.jpg\tJ\t227\t149\t", 0), 0u); // the password record is no image
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 1);
    EXPECT_TRUE(Contains(Vault({"stat", "--password", "Secret", vault}).out, "JPEGs:               1\n"));
    EXPECT_EQ(Vault({"check", "--password", "Secret", vault}).status, 0);
}

// The stored blob of every image record, as the file holds it.
std::map<std::string, std::vector<uint8_t>> StoredBlobs(const std::string& path)
{
    TDMMain store;
    store.CDS.SetFileName(path);
    store.CDS.SetOpenForReading(true);
    store.SetActive(true);
    std::map<std::string, std::vector<uint8_t>> out;
    for (store.CDS.First(); !store.CDS.Eof(); store.CDS.Next()) {
        TMemoryStream blob;
        store.CDSImage.SaveToStream(blob);
        out[store.CDSFileName.AsString() + "." + store.CDSImageType.AsString()] = blob.Bytes();
    }
    store.SetActive(false);
    return out;
}

TEST_F(VaultTool, PasswdSetsChangesAndRemovesThePassword)
{
    ASSERT_EQ(Vault({"add", vault, kData + "/jpeg/testorig.jpg", kData + "/bmp/g/pal8.bmp"}).status, 0);
    const auto plain = StoredBlobs(vault);
    // No terminal to ask twice: the new password must be given.
    const ToolResult noTerminal = Vault({"passwd", vault});
    EXPECT_EQ(noTerminal.status, 1);
    EXPECT_EQ(noTerminal.err, "glimmerbox-vault: No terminal to ask for the new password: give it with --new-password.\n");
    EXPECT_EQ(Vault({"passwd", "--remove", "--new-password", "x", vault}).status, 2);
    EXPECT_EQ(Vault({"passwd", "--remove", vault}).err, "glimmerbox-vault: The vault has no password.\n");

    const ToolResult set = Vault({"passwd", "--new-password", "Sunset-2024!", vault});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "Password is changed successfully.\n");
    const auto sealed = StoredBlobs(vault);
    for (const auto& [name, blob] : plain)
        if (name.back() != '\\')
            EXPECT_TRUE(IsSealedBlob(sealed.at(name))) << name;
    EXPECT_EQ(Vault({"list", vault}).status, 1);
    const ToolResult list = Vault({"list", "--password", "Sunset-2024!", vault});
    EXPECT_EQ(list.status, 0);
    EXPECT_TRUE(Contains(list.out, "testorig.jpg\tJ\t227\t149\t")) << list.out;
    EXPECT_EQ(Vault({"check", "--password", "Sunset-2024!", vault}).status, 0);
    const ToolResult extracted = Vault({"extract", "--password", "Sunset-2024!", vault, "testorig.jpg", "-o", dir.File("out")});
    EXPECT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(FileBytes(dir.File("out/testorig.jpg")), FileBytes(kData + "/jpeg/testorig.jpg"));

    EXPECT_EQ(Vault({"passwd", "--password", "wrong", "--new-password", "b", vault}).err, "glimmerbox-vault: Wrong password.\n");
    EXPECT_EQ(Vault({"passwd", "--password", "Sunset-2024!", "--new-password", "Sunset-2024!", vault}).err,
              "glimmerbox-vault: New password cannot be the same as old password.\n");
    const ToolResult changed = Vault({"passwd", "--password", "Sunset-2024!", "--new-password", "Dawn", vault});
    EXPECT_EQ(changed.status, 0) << changed.err;
    auto rewrapped = StoredBlobs(vault);
    for (const auto& [name, blob] : sealed)
        if (name.back() != '\\')
            EXPECT_EQ(rewrapped.at(name), blob) << name << " was rewritten";
    EXPECT_EQ(Vault({"stat", "--password", "Sunset-2024!", vault}).status, 1);

    const ToolResult removed = Vault({"passwd", "--password", "Dawn", "--remove", vault});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.out, "Password is now removed.\n");
    EXPECT_EQ(StoredBlobs(vault), plain);
    EXPECT_EQ(Vault({"list", vault}).status, 0);
}

// Thumbnails a window kept of the vault while it was plain go from the
// user's cache when the tool protects it, and whenever the tool opens it
// protected; other vaults' stay.
TEST_F(VaultTool, APasswordWipesTheVaultsThumbnailsFromTheCache)
{
    ASSERT_EQ(Vault({"add", vault, kData + "/jpeg/testorig.jpg"}).status, 0);
    TThumbnailScope scope;
    {
        TDMMain store;
        store.CDS.SetFileName(vault);
        store.SetActive(true);
        scope = ThumbnailScopeOf(store);
        store.SetActive(false);
    }
    ASSERT_NE(scope.inode, 0u);
    const std::string cacheHome = dir.File("cache");
    const std::string folder = cacheHome + "/glimmerbox";
    const TThumbnailScope other{scope.device, scope.inode + 1, scope.birth};
    const auto key = [](const TThumbnailScope& s) { return ThumbnailKeyOfPacked({1, 2, 3}, 'B', 8, 8, s); };
    const auto shown = [&] {
        TThumbnailCache cache(folder);
        QImage picture(8, 8, QImage::Format_RGB32);
        picture.fill(qRgb(1, 2, 3));
        cache.Put(key(scope), picture);
        cache.Put(key(other), picture);
    };
    const auto cached = [&](const TThumbnailScope& s) { return TThumbnailCache(folder).Find(key(s)).has_value(); };
    shown();
    ASSERT_TRUE(cached(scope));
    const ToolResult set = Vault({"passwd", "--new-password", "pw", vault}, cacheHome);
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_FALSE(cached(scope));
    EXPECT_TRUE(cached(other));

    shown();
    ASSERT_EQ(Vault({"list", "--password", "pw", vault}, cacheHome).status, 0);
    EXPECT_FALSE(cached(scope));
    EXPECT_TRUE(cached(other));
    // A plain vault's thumbnails are the cache's to keep.
    ASSERT_EQ(Vault({"passwd", "--password", "pw", "--remove", vault}, cacheHome).status, 0);
    shown();
    ASSERT_EQ(Vault({"list", vault}, cacheHome).status, 0);
    EXPECT_TRUE(cached(scope));
}

TEST_F(VaultTool, CheckFindsADamagedBlob)
{
    ASSERT_EQ(Vault({"add", vault, kData + "/jpeg/testorig.jpg", kData + "/bmp/g/pal8.bmp", kData + "/gif-suite/animation.gif"}).status, 0);
    const ToolResult good = Vault({"check", vault});
    EXPECT_EQ(good.status, 0);
    EXPECT_TRUE(good.out.empty());
    EXPECT_EQ(good.err, "3 images checked, 0 damaged.\n");

    // One byte in the middle of the JPEG's deflate stream, changed by
    // another program: the Adler-32 no longer matches.
    QProcess sqlite;
    sqlite.start("sqlite3", {QString::fromStdString(vault),
                             "UPDATE Images SET Image = substr(Image, 1, 200) || x'FF' || substr(Image, 202) "
                             "WHERE ImageType = 'J'"});
    ASSERT_TRUE(sqlite.waitForFinished(30000));
    ASSERT_EQ(sqlite.exitCode(), 0) << sqlite.readAllStandardError().toStdString();
    const ToolResult bad = Vault({"check", vault});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "testorig.jpg: Error\n");
    EXPECT_EQ(bad.err, "3 images checked, 1 damaged.\n");

    // A blob that inflates but does not decode.
    sqlite.start("sqlite3", {QString::fromStdString(vault),
                             "UPDATE Images SET Image = x'78DA030000000001' WHERE ImageType = 'G'"});
    ASSERT_TRUE(sqlite.waitForFinished(30000));
    const ToolResult worse = Vault({"check", vault});
    EXPECT_EQ(worse.status, 1);
    EXPECT_TRUE(Contains(worse.out, "animation.gif: ")) << worse.out;
    EXPECT_EQ(std::count(worse.out.begin(), worse.out.end(), '\n'), 2);
}

} // namespace

namespace {

TEST_F(VaultTool, LongNamesAreKeptWholeAndTooLongOnesRefused)
{
    const std::string one = dir.File("Holiday in Portugal 2024 - beach photo 001.jpg");
    const std::string two = dir.File("Holiday in Portugal 2024 - beach photo 002.jpg");
    const std::string longest = dir.File(std::string(251, 'n') + ".bmp");
    fs::copy_file(kData + "/jpeg/testorig.jpg", one);
    fs::copy_file(kData + "/jpeg/gray.jpg", two);
    fs::copy_file(kData + "/bmp/g/pal8.bmp", longest);
    const ToolResult add = Vault({"add", vault, one, two, longest});
    EXPECT_EQ(add.status, 0) << add.err;
    EXPECT_EQ(add.out, "added: " + one + "\nadded: " + two + "\nadded: " + longest + "\n");
    // No file name holds more than 255 bytes, but a new name may: refused, not cut.
    const std::string tooLong = std::string(250, 'x') + "\xD0\xB6\xD0\xB6\xD0\xB6"; // 256 bytes
    const ToolResult rename = Vault({"rename", vault, std::string(251, 'n') + ".bmp", tooLong});
    EXPECT_EQ(rename.status, 1);
    EXPECT_EQ(rename.err, "glimmerbox-vault: " + std::string(251, 'n') +
                              ".bmp: The image name is too long: 256 bytes, and a vault keeps at most 255 (UTF-8).\n");
    const ToolResult list = Vault({"list", vault});
    EXPECT_TRUE(Contains(list.out, "Holiday in Portugal 2024 - beach photo 001.jpg\tJ\t"));
    EXPECT_TRUE(Contains(list.out, "Holiday in Portugal 2024 - beach photo 002.jpg\tJ\t"));
    EXPECT_TRUE(Contains(list.out, std::string(251, 'n') + ".bmp\tB\t"));
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 3);

    const ToolResult again = Vault({"add", vault, two});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, "skipped (already in the vault): " + two + "\n");

    // Extracted, renamed and removed by their whole names.
    const ToolResult extract = Vault({"extract", vault, std::string(251, 'n') + ".bmp", "-o", dir.File("out")});
    EXPECT_EQ(extract.status, 0) << extract.err;
    EXPECT_EQ(FileBytes(dir.File("out/" + std::string(251, 'n') + ".bmp")), FileBytes(longest));
    EXPECT_EQ(Vault({"rename", vault, "Holiday in Portugal 2024 - beach photo 001.jpg", "Holiday in Portugal 2024 - the first day at the beach"}).status, 0);
    EXPECT_EQ(Vault({"remove", vault, "Holiday in Portugal 2024 - beach photo 002.jpg"}).status, 0);
    EXPECT_EQ(Vault({"list", vault}).out.rfind("Holiday in Portugal 2024 - the first day at the beach.jpg\tJ\t227\t149\t", 0), 0u);
}

TEST_F(VaultTool, AddRefusesWhatTheListCouldNotShowAndCheckAgrees)
{
    // Both have a header good enough to measure.
    const std::string nopal = dir.File("no_palette.gif");
    const std::string bomb = dir.File("decompression_bomb.gif");
    WriteBytes(nopal, damaged::NoPaletteGif());
    WriteBytes(bomb, damaged::BombGif());
    const ToolResult add = Vault({"add", vault, kData + "/bmp/g/pal8.bmp", nopal, bomb});
    EXPECT_EQ(add.status, 1);
    EXPECT_EQ(add.out, "added: " + kData + "/bmp/g/pal8.bmp\n");
    EXPECT_TRUE(Contains(add.err, "glimmerbox-vault: " + nopal + ": ")) << add.err;
    EXPECT_TRUE(Contains(add.err, "glimmerbox-vault: " + bomb + ": ")) << add.err;
    EXPECT_EQ(Vault({"check", vault}).status, 0);

    // Whatever add takes of the real files, check calls sound.
    const ToolResult all = Vault({"add", vault, kData + "/bmp", kData + "/ico", kData + "/jpeg", kData + "/gif-suite",
                                  kData + "/emf", kData + "/wmf", kData + "/emf-corrupted"});
    EXPECT_GT(std::count(all.out.begin(), all.out.end(), '\n'), 100);
    const ToolResult check = Vault({"check", vault});
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_TRUE(check.out.empty()) << check.out;
}

// An icon holding a PNG whose colour profile is too short: Qt's PNG reader
// warns about it on its own, and the icon is a good image all the same.
std::vector<uint8_t> IconWithNoisyPng()
{
    const auto zlibOf = [](const std::vector<uint8_t>& bytes) {
        uLongf size = compressBound(static_cast<uLong>(bytes.size()));
        std::vector<uint8_t> out(size);
        compress(out.data(), &size, bytes.data(), static_cast<uLong>(bytes.size()));
        out.resize(size);
        return out;
    };
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const auto chunk = [&](const char* type, std::vector<uint8_t> data) {
        const uint32_t n = static_cast<uint32_t>(data.size());
        png.insert(png.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
        std::vector<uint8_t> typed(type, type + 4);
        typed.insert(typed.end(), data.begin(), data.end());
        png.insert(png.end(), typed.begin(), typed.end());
        const uint32_t crc = static_cast<uint32_t>(crc32(0, typed.data(), static_cast<uInt>(typed.size())));
        png.insert(png.end(), {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)});
    };
    chunk("IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0});
    std::vector<uint8_t> profile = {'b', 'a', 'd', 0, 0};
    const std::vector<uint8_t> packed = zlibOf(std::vector<uint8_t>(10, 0));
    profile.insert(profile.end(), packed.begin(), packed.end());
    chunk("iCCP", profile);
    chunk("IDAT", zlibOf({0, 0xFF, 0, 0}));
    chunk("IEND", {});
    const uint32_t n = static_cast<uint32_t>(png.size());
    std::vector<uint8_t> ico = {0, 0, 1, 0, 1, 0, 1, 1, 0, 0, 1, 0, 32, 0, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16),
                                uint8_t(n >> 24), 22, 0, 0, 0};
    ico.insert(ico.end(), png.begin(), png.end());
    return ico;
}

TEST_F(VaultTool, QtsOwnWarningsStayOffTheTerminal)
{
    const std::string icon = dir.File("noisy.ico");
    WriteBytes(icon, IconWithNoisyPng());
    const ToolResult add = Vault({"add", vault, icon});
    EXPECT_EQ(add.status, 0);
    EXPECT_EQ(add.out, "added: " + icon + "\n");
    EXPECT_EQ(add.err, "") << add.err;
    const ToolResult check = Vault({"check", vault});
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.err, "1 images checked, 0 damaged.\n");
}

TEST_F(VaultTool, NamesFindTheirExactRecordFirst)
{
    {
        TDMMain store;
        store.CreateNewTable();
        AppendImageRecord(store, "Photo", 1, 1, "J", FileBytes(kData + "/jpeg/testorig.jpg"));
        AppendImageRecord(store, "photo", 1, 1, "J", FileBytes(kData + "/jpeg/gray.jpg"));
        AppendImageRecord(store, "PHOTO", 1, 1, "J", FileBytes(kData + "/jpeg/gray.jpg"));
        AppendImageRecord(store, "Only", 1, 1, "B", FileBytes(kData + "/bmp/g/pal8.bmp"));
        AppendImageRecord(store, "later", 1, 1, "Q", FileBytes(kData + "/bmp/g/pal8.bmp")); // a kind we do not know
        store.CDS.SetFileName(vault);
        store.CDS.Save();
        store.SetActive(false);
    }
    const ToolResult remove = Vault({"remove", vault, "photo.jpg"});
    EXPECT_EQ(remove.status, 0) << remove.err;
    EXPECT_EQ(remove.out, "removed: photo.jpg\n");
    // No exact match, two in other cases: neither is taken.
    const ToolResult ambiguous = Vault({"remove", vault, "pHoTo.jpg"});
    EXPECT_EQ(ambiguous.status, 1);
    EXPECT_EQ(ambiguous.err, "glimmerbox-vault: pHoTo.jpg: 2 images have this name in other letter cases; name one of them exactly.\n");
    // One in another case: that one.
    EXPECT_EQ(Vault({"extract", vault, "only.bmp", "-o", dir.File("out")}).out, "extracted: " + dir.File("out") + "/Only.bmp\n");

    // The unknown kind is listed by its own letter, never checked as a bitmap, and reachable.
    EXPECT_TRUE(Contains(Vault({"list", vault}).out, "later.q\tQ\t"));
    const ToolResult check = Vault({"check", vault});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out, "later.q: Unknown image kind\n");
    EXPECT_EQ(Vault({"extract", vault, "later.q", "-o", dir.File("out")}).status, 0);
    EXPECT_EQ(FileBytes(dir.File("out/later.q")), FileBytes(kData + "/bmp/g/pal8.bmp"));
    EXPECT_EQ(Vault({"remove", vault, "later.q"}).status, 0);
    EXPECT_EQ(Vault({"list", vault}).out.find("later"), std::string::npos);
    const std::string list = Vault({"list", vault}).out;
    EXPECT_TRUE(Contains(list, "Photo.jpg\tJ\t") && Contains(list, "PHOTO.jpg\tJ\t")) << list;
}

TEST_F(VaultTool, ReadersAreLetInBesideTheWindowAndASecondWriterIsRefused)
{
    ASSERT_EQ(Vault({"add", vault, kData + "/bmp/g/pal8.bmp", kData + "/ico/favicon.ico"}).status, 0);
    TDMMain window; // as the window holds it
    window.CDS.SetFileName(vault);
    window.SetActive(true);
    window.DeleteImage("pal8", "B"); // written as it is made
    const ToolResult list = Vault({"list", vault});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_FALSE(Contains(list.out, "pal8")) << list.out;
    EXPECT_TRUE(Contains(list.out, "favicon")) << list.out;
    EXPECT_EQ(Vault({"stat", vault}).status, 0);
    EXPECT_EQ(Vault({"check", vault}).status, 0);
    const std::string out = dir.File("out");
    const ToolResult extract = Vault({"extract", vault, "-o", out});
    EXPECT_EQ(extract.status, 0) << extract.err;
    EXPECT_TRUE(fs::exists(out + "/favicon.ico"));

    const ToolResult remove = Vault({"remove", vault, "favicon.ico"});
    EXPECT_EQ(remove.status, 1);
    EXPECT_TRUE(Contains(remove.err, "it is open for changes in another window or program")) << remove.err;
    EXPECT_TRUE(remove.out.empty());
    window.SetActive(false);
    EXPECT_EQ(Vault({"remove", vault, "favicon.ico"}).status, 0);
    EXPECT_EQ(Vault({"list", vault}).out, "");
}

TEST_F(VaultTool, HostileNamesCannotForgeListLines)
{
    {
        TDMMain store;
        store.CreateNewTable();
        store.StoreImageFile(false, "two\nlines\tand\\slash", "B", 3, 4, kData + "/bmp/g/pal8.bmp");
        store.CDS.SetFileName(vault);
        store.CDS.Save();
        store.SetActive(false);
    }
    const ToolResult list = Vault({"list", vault});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out.substr(0, list.out.rfind('\t')), "two\\nlines\\tand\\\\slash.bmp\tB\t3\t4");
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 1);
    const QJsonArray json = QJsonDocument::fromJson(QByteArray::fromStdString(Vault({"list", "--json", vault}).out)).array();
    ASSERT_EQ(json.size(), 1);
    EXPECT_EQ(json[0].toObject()["name"].toString().toStdString(), "two\nlines\tand\\slash");
}

} // namespace
