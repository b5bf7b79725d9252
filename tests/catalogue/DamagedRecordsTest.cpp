// Records that cannot be shown cost only themselves: the vault opens bound,
// every record is listed, one warning names the broken ones, and commands
// on an item act on exactly that item's record.
#include "FormTestSupport.h"
#include "../DamagedImages.h"

#include "catalogue/ImagePreview.h"
#include "imaging/Thumbnail.h"
#include "platform/Paths.h"
#include "platform/Stream.h"
#include "widgets/ErrorGuard.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSpinBox>
#include <QDialog>
#include <algorithm>
#include <sqlite3.h>

namespace {


using damaged::BombGif;
using damaged::NoPaletteGif;

class DamagedFixture : public StartedFormFixture {
protected:
    std::vector<std::string> Captions() const
    {
        std::vector<std::string> out;
        for (int i = 0; i < form->ListView1->count(); ++i)
            out.push_back(form->ListView1->item(i)->text().toStdString());
        return out;
    }
    int Row(const std::string& caption) const
    {
        for (int i = 0; i < form->ListView1->count(); ++i)
            if (form->ListView1->item(i)->text().toStdString() == caption)
                return i;
        ADD_FAILURE() << caption;
        return 0;
    }
    std::vector<TScriptedPrompts::Record> Warnings() const
    {
        std::vector<TScriptedPrompts::Record> out;
        for (const auto& r : prompts->Records())
            if (r.kind == TScriptedPrompts::Record::Kind::Message && r.message.title == "Warning")
                out.push_back(r);
        return out;
    }
    // Records as name/kind, straight from the store.
    std::vector<std::string> Records() const
    {
        std::vector<std::string> out;
        for (DMMain->CDS.First(); !DMMain->CDS.Eof(); DMMain->CDS.Next())
            out.push_back(DMMain->CDSFileName.AsString() + "/" + DMMain->CDSImageType.AsString());
        return out;
    }

    // Three good images around a GIF without colours, a GIF too big to
    // render and a blob that is no zlib stream, plus one of a kind letter
    // nobody knows; written as a vault file.
    std::string BadVault()
    {
        const std::string path = Path("bad.gmb");
        TDMMain maker;
        maker.CreateNewTable();
        AppendImageRecord(maker, "a good", 227, 149, "J", ReadWholeFile(kJpeg));
        AppendImageRecord(maker, "b no palette", 1, 1, "G", NoPaletteGif());
        AppendImageRecord(maker, "c good", 1, 1, "B", ReadWholeFile(kBmp));
        AppendImageRecord(maker, "d bomb", 32767, 32767, "G", BombGif());
        AppendImageRecord(maker, "e good", 1, 1, "G", ReadWholeFile(kGif));
        AppendImageRecord(maker, "f damaged", 1, 1, "J", {0x78, 0xDA, 0xFF, 0xFF, 0xFF, 0xFF}, false);
        maker.CDS.SetFileName(path);
        maker.CDS.Save();
        maker.SetActive(false);
        // A kind letter of a later version, set as another program would.
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "UPDATE Images SET ImageType = 'Q' WHERE FileName = 'c good'", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
        return path;
    }
};

TEST_F(DamagedFixture, VaultWithBadRecordsOpensBoundListsEveryItemAndWarnsOnce)
{
    const std::string path = BadVault();
    prompts->AnswerMessage(MsgButton::Ok);
    Guarded([&] { form->OpenFile(path); });
    EXPECT_EQ(form->CurrentFileName, path);
    EXPECT_EQ(prompts->PendingAnswers(), 0u);
    ASSERT_EQ(prompts->Records().size(), 1u);
    const MessageRequest& warning = prompts->Records().front().message;
    EXPECT_EQ(warning.title, "Warning");
    EXPECT_EQ(warning.icon, MsgIcon::Warning);
    // The unknown kind is never decoded as a bitmap, and is shown by its own letter.
    EXPECT_EQ(warning.text.rfind("4 images cannot be shown.\r\r\"b no palette.gif\": ", 0), 0u) << warning.text;
    EXPECT_NE(warning.text.find("\r\"c good.q\": Unknown image kind\r"), std::string::npos) << warning.text;
    EXPECT_NE(warning.text.find("\r\"d bomb.gif\": "), std::string::npos);
    EXPECT_NE(warning.text.find("\r\"f damaged.jpg\": Error"), std::string::npos);
    EXPECT_EQ(Captions(), (std::vector<std::string>{"a good.jpg (149x227)", "b no palette.gif (1x1)", "c good.q (1x1)",
                                                    "d bomb.gif (32767x32767)", "e good.gif (1x1)", "f damaged.jpg (1x1)"}));
    EXPECT_EQ(form->StatusPanel0->text().toStdString(), "6 items");
    // A broken item has the broken picture; a good one its thumbnail.
    const QImage broken = (*form->ImgLstLarge)[form->ListView1->item(1)->data(Qt::UserRole + 1).toInt()];
    EXPECT_EQ(broken, (*form->ImgLstLarge)[form->ListView1->item(3)->data(Qt::UserRole + 1).toInt()]);
    EXPECT_NE(broken, (*form->ImgLstLarge)[form->ListView1->item(0)->data(Qt::UserRole + 1).toInt()]);
    EXPECT_NE(broken, (*form->ImgLstLarge)[form->ListView1->item(4)->data(Qt::UserRole + 1).toInt()]);

    // Selecting a broken record says why in the pane, without a box.
    SelectRows({5});
    EXPECT_EQ(prompts->Records().size(), 1u);
    EXPECT_EQ(form->ImgPreview->Message().toStdString(), "Error");
    EXPECT_EQ(form->txtName->text().toStdString(), "f damaged.jpg");
    EXPECT_EQ(form->StatusPanel0->text().toStdString(), "6: 6: 1");
    SelectRows({0});
    EXPECT_TRUE(form->ImgPreview->Message().isEmpty());
    EXPECT_FALSE(form->ImgPreview->Picture().isNull());

    // Broken records can be extracted as stored, renamed and deleted.
    SelectRows({2});
    const std::string out = Path("c good.q");
    prompts->AnswerFile(out);
    Guarded([&] { form->ActImageExtractExecute(); });
    EXPECT_EQ(ReadWholeFile(out), ReadWholeFile(kBmp));
    prompts->AnswerInput("c renamed");
    Guarded([&] { form->ActImageRenameExecute(); });
    EXPECT_EQ(form->ListView1->item(2)->text().toStdString(), "c renamed.q (1x1)");
    SelectRows({1, 3});
    prompts->AnswerMessage(MsgButton::Yes);
    Guarded([&] { form->ActImageDeleteExecute(); });
    EXPECT_EQ(Records(), (std::vector<std::string>{"a good/J", "c renamed/Q", "e good/G", "f damaged/J"}));
    EXPECT_EQ(Warnings().size(), 1u);
}

TEST_F(DamagedFixture, EveryRefillWarnsOnceAndOneFailureReadsAsBefore)
{
    const std::string path = BadVault();
    prompts->AnswerMessage(MsgButton::Ok);
    Guarded([&] { form->OpenFile(path); });
    ASSERT_EQ(Warnings().size(), 1u);

    // The GIF filter: two of its three records are broken.
    prompts->AnswerMessage(MsgButton::Ok);
    form->ActFilterGIF->setChecked(true);
    Guarded([&] { form->ActFilterExecute(); });
    EXPECT_EQ(form->ListView1->count(), 3);
    ASSERT_EQ(Warnings().size(), 2u);
    EXPECT_EQ(Warnings().back().message.text.rfind("2 images cannot be shown.", 0), 0u);

    // The JPEG filter: one, in the words of a single failure.
    prompts->AnswerMessage(MsgButton::Ok);
    form->ActFilterJPEG->setChecked(true);
    Guarded([&] { form->ActFilterExecute(); });
    ASSERT_EQ(Warnings().size(), 3u);
    EXPECT_EQ(Warnings().back().message.text, "Error\r\rThe image \"f damaged.jpg\" cannot be shown.");

    // A new thumbnail size rebuilds every thumbnail, the broken one too.
    prompts->AnswerDialog([](QDialog& d) {
        d.findChild<QSpinBox*>("edWidth")->setValue(64);
        d.accept();
        return d.result();
    });
    prompts->AnswerMessage(MsgButton::Ok);
    Guarded([&] { form->ActViewThumbnailSizeExecute(); });
    EXPECT_EQ(Warnings().size(), 4u);
    EXPECT_EQ(form->ImgLstLarge->Width(), 64);
    EXPECT_EQ(form->ListView1->count(), 2);

    // Adding a good file refills: the broken record is still there, once.
    prompts->AnswerMessage(MsgButton::Ok);
    Guarded([&] { form->AddFiles({kJpeg}); });
    EXPECT_EQ(Warnings().size(), 5u);
    EXPECT_EQ(form->ListView1->count(), 3);
    EXPECT_EQ(prompts->PendingAnswers(), 0u);

    // A vault without a bad record: no warning at all.
    form->ActFilterBMP->setChecked(true);
    Guarded([&] { form->ActFilterExecute(); });
    EXPECT_EQ(Warnings().size(), 5u);
}

TEST_F(DamagedFixture, AddRefusesWhatTheListCouldNotShow)
{
    const std::string nopal = Path("nopal.gif");
    const std::string bomb = Path("bomb.gif");
    WriteWholeFile(NoPaletteGif(), nopal);
    WriteWholeFile(BombGif(), bomb);
    for (const std::string& file : {nopal, bomb}) {
        prompts->AnswerMessage(MsgButton::Ok);
        Guarded([&] { form->AddFiles(file == nopal ? std::vector<std::string>{kBmp, file} : std::vector<std::string>{file}); });
        const std::string text = prompts->Records().back().message.text;
        EXPECT_EQ(prompts->Records().back().message.title, "Error");
        EXPECT_NE(text.find("The file \"" + ExtractFileName(file) + "\" cannot be added."), std::string::npos) << text;
    }
    EXPECT_EQ(Records(), std::vector<std::string>{"pal8/B"});
    EXPECT_EQ(Warnings().size(), 0u);
}

// photo and Photo, and a name that is not UTF-8: each item is its own record.
TEST_F(DamagedFixture, CommandsOnAnItemActOnExactlyItsRecord)
{
    const std::string latin1 = "caf\xE9";
    AppendImageRecord(*DMMain, "Photo", 227, 149, "J", ReadWholeFile(kJpeg));
    AppendImageRecord(*DMMain, "photo", 1, 1, "J", ReadWholeFile(kData + "/jpeg/gray.jpg"));
    AppendImageRecord(*DMMain, latin1, 1, 1, "B", ReadWholeFile(kBmp));
    AppendImageRecord(*DMMain, "caf\xC3\xA9", 1, 1, "G", ReadWholeFile(kGif));
    form->RefreshList();
    ASSERT_EQ(form->ListView1->count(), 4);
    EXPECT_EQ(Warnings().size(), 0u);

    // Extract the second item: the bytes of photo, not of Photo.
    const int lower = Row("photo.jpg (1x1)");
    SelectRows({lower});
    prompts->AnswerFile(Path("x.jpg"));
    Guarded([&] { form->ActImageExtractExecute(); });
    EXPECT_EQ(ReadWholeFile(Path("x.jpg")), ReadWholeFile(kData + "/jpeg/gray.jpg"));
    // The name that is no UTF-8 is extracted under its own bytes' record.
    int bytesRow = -1;
    for (int i = 0; i < form->ListView1->count(); ++i)
        if (form->ListView1->item(i)->text().endsWith(".bmp (1x1)"))
            bytesRow = i;
    ASSERT_GE(bytesRow, 0);
    SelectRows({bytesRow});
    prompts->AnswerFile(Path("y.bmp"));
    Guarded([&] { form->ActImageExtractExecute(); });
    EXPECT_EQ(ReadWholeFile(Path("y.bmp")), ReadWholeFile(kBmp));

    // Rename Photo: photo stays as it was.
    SelectRows({Row("Photo.jpg (149x227)")});
    prompts->AnswerInput("Other");
    Guarded([&] { form->ActImageRenameExecute(); });
    // Delete photo: Other (once Photo) stays.
    SelectRows({Row("photo.jpg (1x1)")});
    prompts->AnswerMessage(MsgButton::Yes);
    Guarded([&] { form->ActImageDeleteExecute(); });
    std::vector<std::string> records = Records();
    std::sort(records.begin(), records.end());
    EXPECT_EQ(records, (std::vector<std::string>{"Other/J", "caf\xC3\xA9/G", latin1 + "/B"}));
    ASSERT_TRUE(DMMain->LocateRecord("Other", "J"));
    EXPECT_EQ(DMMain->CDSDimX.AsInteger(), 227);
    EXPECT_EQ(prompts->PendingAnswers(), 0u);
}

TEST_F(DamagedFixture, LongNamesAreStoredAndShownWhole)
{
    QDir().mkpath(QString::fromStdString(Path("in")));
    const std::string first = "Holiday in Portugal 2024 - beach photo 001";
    const std::string second = "Holiday in Portugal 2024 - beach photo 002";
    // 84 characters, 168 bytes; then a name of 255 bytes exactly.
    std::string cyrillic;
    for (int i = 0; i < 84; ++i)
        cyrillic += "\xD0\xB6";
    const std::string longest = std::string(251, 'n');
    for (const std::string& name : {first, second, cyrillic, longest})
        ASSERT_TRUE(QFile::copy(QString::fromStdString(kJpeg), QString::fromStdString(Path("in/" + name + ".jpg"))));
    Guarded([&] {
        form->AddFiles({Path("in/" + first + ".jpg"), Path("in/" + second + ".jpg"), Path("in/" + cyrillic + ".jpg"),
                        Path("in/" + longest + ".jpg")});
    });
    EXPECT_EQ(prompts->Records().size(), 0u); // no replace question: two photos, two records
    std::vector<std::string> captions = Captions();
    std::sort(captions.begin(), captions.end());
    EXPECT_EQ(captions, (std::vector<std::string>{first + ".jpg (149x227)", second + ".jpg (149x227)", longest + ".jpg (149x227)",
                                                  cyrillic + ".jpg (149x227)"}));
    EXPECT_TRUE(DMMain->LocateRecord(longest, "J"));

    // Extracted under the whole name.
    SelectRows({Row(second + ".jpg (149x227)")});
    prompts->AnswerFile(Path(second + ".jpg"));
    Guarded([&] { form->ActImageExtractExecute(); });
    EXPECT_EQ(ReadWholeFile(Path(second + ".jpg")), ReadWholeFile(kJpeg));
    SelectRows({Row(longest + ".jpg (149x227)")});
    QDir().mkpath(QString::fromStdString(Path("out")));
    prompts->AnswerFile(Path("out/" + longest + ".jpg"));
    Guarded([&] { form->ActImageExtractExecute(); });
    EXPECT_EQ(ReadWholeFile(Path("out/" + longest + ".jpg")), ReadWholeFile(kJpeg));
    // The preview of the longest name finds room for its scratch file.
    SelectRows({Row(longest + ".jpg (149x227)")});
    EXPECT_TRUE(form->ImgPreview->Message().isEmpty()) << form->ImgPreview->Message().toStdString();
    EXPECT_FALSE(form->ImgPreview->Picture().isNull());

    // Renamed to a long name; one byte too many is refused, nothing changes.
    SelectRows({Row(first + ".jpg (149x227)")});
    prompts->AnswerInput(first + " at the sea");
    Guarded([&] { form->ActImageRenameExecute(); });
    EXPECT_TRUE(DMMain->LocateRecord(first + " at the sea", "J"));
    SelectRows({Row(first + " at the sea.jpg (149x227)")});
    prompts->AnswerInput(std::string(256, 'm'));
    prompts->AnswerMessage(MsgButton::Ok);
    Guarded([&] { form->ActImageRenameExecute(); });
    EXPECT_EQ(prompts->Records().back().message.text, "The image name is too long: 256 bytes, and a vault keeps at most 255 (UTF-8).");
    EXPECT_TRUE(DMMain->LocateRecord(first + " at the sea", "J"));

    EXPECT_EQ(form->ListView1->count(), 4);
}

} // namespace

// Broken items are found by the search and take their place in every order.
TEST_F(DamagedFixture, SearchAndOrdersKeepBrokenItems)
{
    prompts->AnswerMessage(MsgButton::Ok);
    form->OpenFile(BadVault());
    const int items = form->ListView1->count();
    form->EdtSearch->setText("DAMAGED");
    ProcessEvents();
    ASSERT_EQ(form->ShownRows().size(), 1u);
    const int row = form->ShownRows().front();
    EXPECT_EQ(form->ListView1->item(row)->text().toStdString(), "f damaged.jpg (1x1)");
    EXPECT_FALSE(form->ItemBrokenMessage(row).empty());
    EXPECT_EQ(form->StatusPanel0->text().toStdString(), "1 items");

    // The bomb's pixel count puts it last, whether it can be shown or not.
    form->EdtSearch->clear();
    form->ActViewSortByPixels->trigger();
    ASSERT_EQ(form->ListView1->count(), items);
    EXPECT_EQ(form->ListView1->item(items - 1)->text().toStdString(), "d bomb.gif (32767x32767)");
    EXPECT_FALSE(form->ItemBrokenMessage(items - 1).empty());
}
