// The thumbnail size dialog, the statistic dialog and the about box, run
// through scripted prompts.
#include "FormTestSupport.h"
#include "catalogue/UDlgAbout.h"
#include "catalogue/UDlgSize.h"
#include "catalogue/UDlgStatistic.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

namespace {

void PressKey(QWidget* widget, int key)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

void TypeText(QSpinBox* upDown, const QString& text)
{
    auto* edit = upDown->findChild<QLineEdit*>();
    edit->selectAll();
    edit->del();
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(edit, &press);
    }
}

QString Text(const QLabel* label) { return label ? label->text() : QString("<missing>"); }

// Sets the default locale for one test.
class ScopedLocale {
public:
    explicit ScopedLocale(const QLocale& locale) { QLocale::setDefault(locale); }
    ~ScopedLocale() { QLocale::setDefault(previous_); }

private:
    QLocale previous_;
};

class DlgSizeTest : public ::testing::Test {
protected:
    void SetUp() override { TestApplication(); }
    ScopedScriptedPrompts prompts;
};

} // namespace

TEST_F(DlgSizeTest, LooksAsDesigned)
{
    TDlgSize dialog;
    EXPECT_EQ(dialog.windowTitle(), "Thumbnail Size");
    EXPECT_EQ(dialog.edWidth->objectName(), "edWidth");
    EXPECT_EQ(dialog.edHeight->objectName(), "edHeight");
    EXPECT_EQ(dialog.edWidth->minimum(), 8);
    EXPECT_EQ(dialog.edWidth->maximum(), 320);
    EXPECT_EQ(dialog.edHeight->minimum(), 8);
    EXPECT_EQ(dialog.edHeight->maximum(), 200);
    EXPECT_EQ(dialog.edWidth->findChild<QLineEdit*>()->maxLength(), 3);
    EXPECT_EQ(dialog.edHeight->findChild<QLineEdit*>()->maxLength(), 3);

    QStringList labels;
    for (QLabel* label : dialog.findChildren<QLabel*>())
        labels << label->text();
    EXPECT_TRUE(labels.contains("&Width:")) << labels.join("|").toStdString();
    EXPECT_TRUE(labels.contains("&Height:")) << labels.join("|").toStdString();
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        if (label->text() == "&Width:") {
            EXPECT_EQ(label->buddy(), dialog.edWidth);
        }
        if (label->text() == "&Height:") {
            EXPECT_EQ(label->buddy(), dialog.edHeight);
        }
    }

    QPushButton* ok = nullptr;
    QPushButton* cancel = nullptr;
    for (QPushButton* b : dialog.findChildren<QPushButton*>())
        (b->text() == "OK" ? ok : cancel) = b;
    ASSERT_TRUE(ok && cancel);
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(cancel->text(), "Cancel");
}

TEST_F(DlgSizeTest, ArrowsStopAtTheBounds)
{
    TDlgSize dialog;
    dialog.edWidth->setValue(319);
    PressKey(dialog.edWidth, Qt::Key_Up);
    PressKey(dialog.edWidth, Qt::Key_Up);
    EXPECT_EQ(dialog.edWidth->value(), 320);
    dialog.edWidth->setValue(9);
    PressKey(dialog.edWidth, Qt::Key_Down);
    PressKey(dialog.edWidth, Qt::Key_Down);
    EXPECT_EQ(dialog.edWidth->value(), 8);

    dialog.edHeight->setValue(199);
    PressKey(dialog.edHeight, Qt::Key_Up);
    PressKey(dialog.edHeight, Qt::Key_Up);
    EXPECT_EQ(dialog.edHeight->value(), 200);
    dialog.edHeight->stepBy(-500);
    EXPECT_EQ(dialog.edHeight->value(), 8);
}

TEST_F(DlgSizeTest, OkWritesBackTheTypedAndClampedValues)
{
    prompts->AnswerDialog([](QDialog& d) {
        auto& dialog = static_cast<TDlgSize&>(d);
        EXPECT_EQ(dialog.edWidth->value(), 96);
        EXPECT_EQ(dialog.edHeight->value(), 72);
        TypeText(dialog.edWidth, "5"); // below the minimum: pulled up on OK
        TypeText(dialog.edHeight, "150");
        dialog.accept();
        return d.result();
    });
    int width = 96, height = 72;
    EXPECT_TRUE(ExecuteSizeDialog(width, height));
    EXPECT_EQ(width, 8);
    EXPECT_EQ(height, 150);
    ASSERT_EQ(prompts->Records().size(), 1u);
    EXPECT_EQ(prompts->Records()[0].title, "Thumbnail Size");

    // A digit that would pass the maximum is refused as it is typed.
    prompts->AnswerDialog([](QDialog& d) {
        auto& dialog = static_cast<TDlgSize&>(d);
        TypeText(dialog.edWidth, "999");
        TypeText(dialog.edHeight, "201");
        dialog.accept();
        return d.result();
    });
    EXPECT_TRUE(ExecuteSizeDialog(width, height));
    EXPECT_EQ(width, 99);
    EXPECT_EQ(height, 20);
}

TEST_F(DlgSizeTest, CancelLeavesThePair)
{
    prompts->AnswerDialog([](QDialog& d) {
        auto& dialog = static_cast<TDlgSize&>(d);
        dialog.edWidth->setValue(200);
        dialog.edHeight->setValue(100);
        dialog.reject();
        return d.result();
    });
    int width = 96, height = 72;
    EXPECT_FALSE(ExecuteSizeDialog(width, height));
    EXPECT_EQ(width, 96);
    EXPECT_EQ(height, 72);

    prompts->Cancel();
    EXPECT_FALSE(ExecuteSizeDialog(width, height));
    EXPECT_EQ(width, 96);
    EXPECT_EQ(height, 72);
}

TEST_F(DlgSizeTest, APairOutsideTheRangesIsShownWithinThem)
{
    prompts->AnswerDialog([](QDialog& d) {
        d.accept();
        return d.result();
    });
    int width = 1000, height = 2;
    EXPECT_TRUE(ExecuteSizeDialog(width, height));
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 8);
}

namespace {

class DlgStatisticTest : public ::testing::Test {
protected:
    ScopedScriptedPrompts prompts;
    TDMMain store;

    void SetUp() override
    {
        TestApplication();
        store.CreateNewTable();
    }

    void Add(const std::string& name, char kind)
    {
        store.CDS.Append();
        store.CDSFileName.SetAsString(name);
        store.CDSDimX.SetAsInteger(16);
        store.CDSDimY.SetAsInteger(16);
        store.CDSImage.SetBytes({1, 2, 3});
        store.CDSImageType.SetAsString(std::string(1, kind));
        store.CDS.Post();
    }

    // The counts as shown, in the order B I E W J G P V T H A.
    std::vector<std::string> Counts()
    {
        std::vector<std::string> counts;
        prompts->AnswerDialog([&counts](QDialog& d) {
            auto& dialog = static_cast<TDlgStatistic&>(d);
            for (const QLabel* label : {dialog.txtBMP, dialog.txtICO, dialog.txtEMF, dialog.txtWMF, dialog.txtJPG,
                                        dialog.txtGIF, dialog.txtPNG, dialog.txtWEBP, dialog.txtTIFF, dialog.txtHEIF,
                                        dialog.txtAVIF})
                counts.push_back(Text(label).toStdString());
            d.accept();
            return d.result();
        });
        ShowStatisticDialog(store);
        return counts;
    }
};

using Counted = std::vector<std::string>;

} // namespace

TEST_F(DlgStatisticTest, LooksAsDesigned)
{
    TDlgStatistic dialog(store);
    EXPECT_EQ(dialog.windowTitle(), "Statistic");
    EXPECT_GE(dialog.width(), 217);
    EXPECT_GE(dialog.height(), 168);

    QStringList captions;
    for (QLabel* label : dialog.findChildren<QLabel*>())
        if (!label->objectName().startsWith("txt"))
            captions << label->text();
    EXPECT_EQ(captions, QStringList({"Bitmaps:", "Icons:", "Enhanced metafiles:", "Metafiles:", "JPEGs:", "GIFs:", "PNGs:",
                                     "WebPs:", "TIFFs:", "HEIFs:", "AVIFs:"}));

    const char* names[] = {"txtBMP", "txtICO", "txtEMF", "txtWMF", "txtJPG", "txtGIF",
                           "txtPNG", "txtWEBP", "txtTIFF", "txtHEIF", "txtAVIF"};
    const char kinds[] = {'B', 'I', 'E', 'W', 'J', 'G', 'P', 'V', 'T', 'H', 'A'};
    for (size_t i = 0; i < 11; ++i) {
        QLabel* label = dialog.CountLabel(kinds[i]);
        ASSERT_TRUE(label) << kinds[i];
        EXPECT_EQ(label->objectName(), names[i]);
        EXPECT_TRUE(label->alignment() & Qt::AlignRight);
    }
    EXPECT_EQ(dialog.CountLabel('\\'), nullptr);

    const auto buttons = dialog.findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons[0]->text(), "OK");
    EXPECT_TRUE(buttons[0]->isDefault());
    EXPECT_FALSE(dialog.CDS2.Active()) << "the copy is released once counted";
}

TEST_F(DlgStatisticTest, FilterTextHasBlanksAroundTheEqualsSign)
{
    EXPECT_EQ(StatisticFilter('B'), " ImageType = 'B' ");
    EXPECT_EQ(StatisticFilter('G'), " ImageType = 'G' ");
}

TEST_F(DlgStatisticTest, EmptyVaultAndPasswordOnlyVaultShowZeros)
{
    const Counted zeros(11, "0");
    EXPECT_EQ(Counts(), zeros);
    store.SetPassword("", "secret");
    EXPECT_EQ(Counts(), zeros);
}

TEST_F(DlgStatisticTest, CountsEveryKindWhateverTheMainFilterAndLeavesTheStoreAlone)
{
    Add("a", 'B');
    Add("b", 'B');
    Add("c", 'I');
    Add("d", 'E');
    Add("e", 'W');
    Add("f", 'W');
    Add("g", 'W');
    Add("h", 'G');
    Add("a", 'J'); // same name, other kind
    Add("p", 'P');
    Add("v", 'V');
    Add("w", 'V');
    Add("t", 'T');
    Add("h", 'H');
    Add("a", 'A');
    Add("b", 'A');
    Add("c", 'A');
    store.SetPassword("", "secret");

    store.CDS.SetFilter(" ImageType='G' ");
    store.CDS.SetFiltered(true);
    ASSERT_TRUE(store.LocateImage("h", "G"));
    const bool changedBefore = store.CDS.HasChanges();

    EXPECT_EQ(Counts(), Counted({"2", "1", "1", "3", "1", "1", "1", "2", "1", "1", "3"}));

    EXPECT_TRUE(store.CDS.Filtered());
    EXPECT_EQ(store.CDS.Filter(), " ImageType='G' ");
    EXPECT_EQ(store.CDS.RecordCount(), 1);
    EXPECT_EQ(store.CDSFileName.AsString(), "h");
    EXPECT_EQ(store.CDS.HasChanges(), changedBefore);
    EXPECT_TRUE(store.LocatePassword()) << "the password record is still there";
}

TEST_F(DlgStatisticTest, ThousandsCarryTheLocaleSeparator)
{
    for (int i = 0; i < 1500; ++i)
        Add("photo" + std::to_string(i), 'J');
    Add("logo", 'G');
    {
        ScopedLocale english(QLocale(QLocale::English, QLocale::UnitedStates));
        EXPECT_EQ(Counts(), Counted({"0", "0", "0", "0", "1,500", "1", "0", "0", "0", "0", "0"}));
    }
    {
        ScopedLocale german(QLocale(QLocale::German, QLocale::Germany));
        EXPECT_EQ(Counts()[4], "1.500");
    }
    {
        ScopedLocale c(QLocale::c());
        EXPECT_EQ(FormatCount(1234567), "1,234,567");
        EXPECT_EQ(FormatCount(0), "0");
    }
}

TEST_F(DlgStatisticTest, AClosedStoreRaisesBeforeAnyDialog)
{
    store.SetActive(false);
    EXPECT_THROW(ShowStatisticDialog(store), Exception);
    EXPECT_TRUE(prompts->Records().empty());
}

namespace {

class AboutTest : public ::testing::Test {
protected:
    ScopedScriptedPrompts prompts;
    std::string savedTitle = AppTitle;

    void SetUp() override
    {
        TestApplication();
        AppTitle = "Kv Glimmerbox 3.2";
    }
    void TearDown() override { AppTitle = savedTitle; }
};

} // namespace

TEST_F(AboutTest, YearsAreARangeOrOneYear)
{
    EXPECT_EQ(AboutYears(2001, 2026), "2001-2026");
    EXPECT_EQ(AboutYears(2026, 0), "2026");
    EXPECT_EQ(AboutYears(65535, 65535), "65535-65535");
}

TEST_F(AboutTest, BoxShowsTitleTextMakerAndYearsInOrder)
{
    prompts->AnswerMessage(MsgButton::Ok);
    ShowAbout();
    ASSERT_EQ(prompts->Records().size(), 1u);
    const MessageRequest& box = prompts->Records()[0].message;
    EXPECT_EQ(box.title, "About");
    EXPECT_EQ(box.icon, MsgIcon::Information);
    EXPECT_EQ(box.buttons, std::vector<MsgButton>{MsgButton::Ok});

    const std::string& text = box.text;
    // The description keeps its "\r"; the box turns it into a new line.
    const std::string head = "Kv Glimmerbox 3.2\n\nKeep image files as single file and browse them in thumbails.\r"
                             "Supports BMP, ICO, EMF, WMF, GIF, and JPEG.\n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    const size_t closing = text.rfind("\n\n");
    ASSERT_NE(closing, std::string::npos);
    const std::string last = text.substr(closing + 2);
    EXPECT_NE(last.find(AboutYears(AboutFirstYear, AboutLastYear)), std::string::npos) << last;
    EXPECT_EQ(last.find('\n'), std::string::npos) << "the closing line is one line";
}

TEST_F(AboutTest, GivenYearRangeAndLineBreaksReachTheBox)
{
    prompts->AnswerMessage(MsgButton::Ok);
    ShowAboutBox("one\r\ntwo\rthree", 1999, 2026);
    const std::string& text = prompts->Records().at(0).message.text;
    EXPECT_NE(text.find("\n\none\r\ntwo\rthree\n"), std::string::npos) << text;
    EXPECT_NE(text.find("1999-2026"), std::string::npos) << text;
}

// The About box goes through the same Qt edge as every other box, which
// breaks the description's lines.
TEST(AboutBox, ShowsTheDescriptionOnTwoLines)
{
    TestApplication();
    QString shown;
    QTimer::singleShot(0, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->text();
            box->button(QMessageBox::Ok)->click();
        }
    });
    ShowAbout(); // the Qt prompts: no scripted ones installed here
    const QStringList lines = shown.split('\n');
    ASSERT_GE(lines.size(), 4) << shown.toStdString();
    EXPECT_EQ(lines[0], QString::fromStdString(AppTitle));
    EXPECT_EQ(lines[2], "Keep image files as single file and browse them in thumbails.");
    EXPECT_EQ(lines[3], "Supports BMP, ICO, EMF, WMF, GIF, and JPEG.");
    EXPECT_FALSE(shown.contains('\r'));
}
