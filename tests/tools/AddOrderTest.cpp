// Adding many files, some of them replacing records (from before and from
// earlier in the same run) and one damaged in the middle: the tool and the
// window store the same records in the order of the files, whatever the
// number of workers, and both stop at the damaged file with its loader's
// message (the tool reports it there and goes on, as it always has).
#include "../catalogue/FormTestSupport.h"
#include "../store/StoreTestSupport.h"

#include "VaultTool.h"
#include "imaging/ImageKinds.h"
#include "platform/Exception.h"
#include "platform/Stream.h"
#include "platform/Text.h"
#include "store/UDMMain.h"

#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

namespace {

namespace fs = std::filesystem;
using storetest::FileBytes;
using storetest::WriteBytes;

const std::string kData = GMB_TEST_DATA;

// Of every kind and of very different sizes, so that workers finish out of order.
const std::vector<std::string> kSources = {
    "jpeg/cmyk.jpg", "bmp/g/rgb24.bmp", "ico/favicon.ico", "gif-suite/animation.gif", "wmf/ant.wmf",
    "emf/test-008.emf",  "bmp/g/pal4.bmp",  "jpeg/gray.jpg",   "gif-suite/four-colors.gif", "bmp/g/pal8.bmp",
    "ico/idle.ico",      "jpeg/testorig.jpg",
};

std::string Extension(const std::string& path) { return path.substr(path.rfind('.')); }

struct TRecordDump {
    std::string name;
    std::string kind;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> image; // as stored
    bool operator==(const TRecordDump&) const = default;
};

std::vector<TRecordDump> Dump(TDMMain& db)
{
    std::vector<TRecordDump> out;
    TVaultTable& cds = db.CDS;
    for (cds.First(); !cds.Eof(); cds.Next()) {
        TMemoryStream blob;
        db.CDSImage.SaveToStream(blob);
        out.push_back({db.CDSFileName.AsString(), db.CDSImageType.AsString(), db.CDSDimX.AsInteger(),
                       db.CDSDimY.AsInteger(), blob.Bytes()});
    }
    return out;
}

// Every record of the file as the sqlite3 shell reads it, in key order.
std::string ShellDump(const std::string& vault)
{
    QProcess shell;
    shell.start("sqlite3", {"-readonly", QString::fromStdString(vault),
                            "SELECT FileName, ImageType, DimX, DimY, hex(Image) FROM Images ORDER BY FileName, ImageType;"});
    EXPECT_TRUE(shell.waitForFinished(60000));
    EXPECT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString();
    return shell.readAllStandardOutput().toStdString();
}

std::string ReadAll(std::FILE* f)
{
    std::fflush(f);
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;)
        text.push_back(static_cast<char>(c));
    return text;
}

class AddOrder : public FormFixture {
protected:
    std::string in = Path("in");
    std::string base = Path("base.gmb");
    std::vector<std::string> files;     // in the order they are added
    std::map<std::string, std::string> sourceOf;
    size_t damaged = 0;                 // its position in files

    void SetUp() override
    {
        FormFixture::SetUp();
        fs::create_directories(in);
        auto put = [&](const std::string& name, const std::string& source) {
            const std::string path = in + "/" + name;
            fs::copy_file(kData + "/" + source, path);
            files.push_back(path);
            sourceOf[path] = kData + "/" + source;
        };
        for (size_t i = 0; i < 14; ++i)
            put(Format("s%02d", static_cast<int>(i)) + Extension(kSources[i % kSources.size()]), kSources[i % kSources.size()]);
        put("PHOTO.jpeg", "jpeg/gray.jpg");       // replaces a record from before
        put("twin.gif", "gif-suite/animation.gif");
        for (size_t i = 14; i < 24; ++i)
            put(Format("s%02d", static_cast<int>(i)) + Extension(kSources[i * 5 % kSources.size()]), kSources[i * 5 % kSources.size()]);
        damaged = files.size();
        files.push_back(in + "/broken.jpg");
        WriteBytes(files.back(), {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3});
        put("TWIN.gif", "gif-suite/four-colors.gif"); // replaces one of this run
        put("pal8.bmp", "bmp/g/pal4.bmp");            // replaces a record from before
        for (size_t i = 24; i < 36; ++i)
            put(Format("s%02d", static_cast<int>(i)) + Extension(kSources[i * 7 % kSources.size()]), kSources[i * 7 % kSources.size()]);

        TDMMain db;
        db.CreateNewTable();
        db.StoreImageFile(false, "photo", "J", 227, 149, kData + "/jpeg/testorig.jpg");
        db.StoreImageFile(false, "Pal8", "B", 127, 64, kData + "/bmp/g/pal8.bmp");
        db.CDS.SetFileName(base);
        db.CDS.Save();
        db.SetActive(false);
    }

    std::string CopyOfBase(const std::string& name)
    {
        const std::string path = Path(name);
        fs::copy_file(base, path);
        return path;
    }

    static std::string Key(const std::string& path)
    {
        return LowerCase(NameWithoutExt(path)) + "/" + std::string(1, KindLetterOfFile(path));
    }

    // What the tool writes for the files from..to, the damaged one as an
    // error line where it stands; with replace false, records found are skipped.
    std::string ExpectedLines(size_t from, size_t to, bool replace, const std::string& failure) const
    {
        // The name each key is stored under.
        std::map<std::string, std::string> present{{"photo/J", "photo"}, {"pal8/B", "Pal8"}};
        std::string out;
        for (size_t i = from; i < to; ++i) {
            if (i == damaged) {
                if (!failure.empty())
                    out += "glimmerbox-vault: " + files[i] + ": " + failure + "\n";
                continue;
            }
            const std::string name = NameWithoutExt(files[i]);
            const auto it = present.find(Key(files[i]));
            if (it == present.end()) {
                present[Key(files[i])] = name;
                out += "added: " + files[i] + "\n";
            } else if (replace) {
                it->second = name;
                out += "replaced: " + files[i] + "\n";
            } else if (it->second == name) {
                out += "skipped (already in the vault): " + files[i] + "\n";
            } else {
                // Another name in letter case only: not stored, and said so.
                out += "glimmerbox-vault: " + files[i] + ": Not stored: the vault holds \"" + it->second +
                       KindOf(KindLetterOfFile(files[i])).ShownExtension +
                       "\", whose name differs only in letter case; add with --replace to replace it.\n";
            }
        }
        return out;
    }

    // Each record holds the bytes of the last file of its name and kind,
    // under that file's name; the records from before keep theirs when
    // nothing replaced them.
    void ExpectLastFileWins(TDMMain& db, const std::vector<std::string>& added)
    {
        std::map<std::string, std::pair<std::string, std::string>> expected{
            {"photo/J", {"photo", kData + "/jpeg/testorig.jpg"}}, {"pal8/B", {"Pal8", kData + "/bmp/g/pal8.bmp"}}};
        for (const std::string& f : added)
            expected[Key(f)] = {NameWithoutExt(f), sourceOf.at(f)};
        EXPECT_EQ(db.CDS.RecordCount(), static_cast<int>(expected.size()));
        for (const auto& [key, record] : expected) {
            SCOPED_TRACE(key);
            ASSERT_TRUE(db.LocateImage(record.first, key.substr(key.size() - 1)));
            EXPECT_EQ(db.CDSFileName.AsString(), record.first);
            EXPECT_EQ(db.CreateImageStream()->Bytes(), FileBytes(record.second));
        }
    }

    std::vector<std::string> Except(size_t skip) const
    {
        std::vector<std::string> out;
        for (size_t i = 0; i < files.size(); ++i)
            if (i != skip)
                out.push_back(files[i]);
        return out;
    }
};

// In-process, out and err into one file: the error line must stand exactly
// where the damaged file is.
TEST_F(AddOrder, EveryWorkerCountStoresAndReportsTheSame)
{
    std::vector<TRecordDump> first;
    std::string firstText;
    for (const int threads : {0, 1, 3}) {
        for (const bool replace : {true, false}) {
            SCOPED_TRACE(Format("%d workers, replace %d", threads, replace ? 1 : 0));
            const std::string vault = CopyOfBase(Format("w%d-%d.gmb", threads, replace ? 1 : 0));
            TDMMain db;
            db.CDS.SetFileName(vault);
            db.SetActive(true);
            std::FILE* log = std::tmpfile();
            ASSERT_NE(log, nullptr);
            const vaulttool::TOutput io{log, log, false};
            EXPECT_EQ(vaulttool::AddImages(db, io, files, replace, threads), vaulttool::Failure);
            const std::string text = ReadAll(log);
            std::fclose(log);

            const std::string prefix = "glimmerbox-vault: " + files[damaged] + ": ";
            const size_t at = text.find(prefix);
            ASSERT_NE(at, std::string::npos) << text;
            const std::string failure = text.substr(at + prefix.size(), text.find('\n', at) - at - prefix.size());
            EXPECT_EQ(failure.rfind("JPEG error #", 0), 0u) << failure;
            EXPECT_EQ(text, ExpectedLines(0, files.size(), replace, failure));
            if (replace) {
                ExpectLastFileWins(db, Except(damaged));
                const std::vector<TRecordDump> records = Dump(db);
                if (first.empty()) {
                    first = records;
                    firstText = text;
                } else {
                    EXPECT_TRUE(records == first);
                    EXPECT_EQ(text, firstText);
                }
            }
            db.SetActive(false);
        }
    }
}

// The real tool beside the window's Add (Yes to All at each run's first
// question; after the error the user adds the rest again).
TEST_F(AddOrder, ToolAndWindowStoreTheSameRecords)
{
    const std::string byTool = CopyOfBase("tool.gmb");
    QProcess tool;
    QStringList args{"add", "--replace", QString::fromStdString(byTool)};
    for (const std::string& f : files)
        args << QString::fromStdString(f);
    tool.start(GMB_VAULT_TOOL, args);
    ASSERT_TRUE(tool.waitForFinished(120000));
    EXPECT_EQ(tool.exitCode(), 1);
    const std::string toolOut = tool.readAllStandardOutput().toStdString();
    const std::string toolErr = tool.readAllStandardError().toStdString();

    const std::string opened = CopyOfBase("window-in.gmb");
    const std::string byWindow = Path("window.gmb");
    Start();
    form->WorkerThreads = 3;
    form->OpenFile(opened);
    prompts->AnswerMessage(MsgButton::YesToAll);
    std::string message;
    try {
        form->AddFiles(files);
    } catch (const std::exception& e) {
        message = e.what();
    }
    const std::string tail = "\r\rThe file \"broken.jpg\" cannot be added.";
    ASSERT_GT(message.size(), tail.size());
    EXPECT_EQ(message.substr(message.size() - tail.size()), tail);
    const std::string failure = message.substr(0, message.size() - tail.size());
    EXPECT_EQ(failure.rfind("JPEG error #", 0), 0u) << failure;
    // The window stopped there: what came before, nothing after.
    ExpectLastFileWins(*DMMain, std::vector<std::string>(files.begin(), files.begin() + static_cast<ptrdiff_t>(damaged)));

    prompts->AnswerMessage(MsgButton::YesToAll);
    form->AddFiles(std::vector<std::string>(files.begin() + static_cast<ptrdiff_t>(damaged) + 1, files.end()));
    form->SaveFile(byWindow);
    std::vector<std::string> asked;
    for (const auto& r : prompts->Records())
        asked.push_back(r.message.text.substr(0, r.message.text.find('\r')));
    EXPECT_EQ(asked, (std::vector<std::string>{"\"PHOTO\" already exists.", "\"TWIN\" already exists."}));

    EXPECT_EQ(toolErr, "glimmerbox-vault: " + files[damaged] + ": " + failure + "\n");
    EXPECT_EQ(toolOut, ExpectedLines(0, files.size(), true, std::string()));
    const std::string shellTool = ShellDump(byTool);
    EXPECT_EQ(std::count(shellTool.begin(), shellTool.end(), '\n'), 2 + 36 + 1); // before, s00..s35, twin
    EXPECT_EQ(shellTool, ShellDump(byWindow));
    TDMMain db;
    db.CDS.SetFileName(byTool);
    db.SetActive(true);
    ExpectLastFileWins(db, Except(damaged));
    db.SetActive(false);
}

} // namespace
