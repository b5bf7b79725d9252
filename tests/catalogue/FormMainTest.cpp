#include "FormTestSupport.h"

#include "catalogue/ImagePreview.h"
#include "platform/Exception.h"
#include "platform/Paths.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QListWidget>
#include <QStatusTipEvent>
#include <QToolBar>

#include "widgets/ErrorGuard.h"

namespace {
}

TEST_F(FormFixture, FirstRunUsesTheDesignedPlacementAndViews)
{
    TFormMain& f = Start();
    EXPECT_EQ(f.x(), 195);
    EXPECT_EQ(f.y(), 106);
    EXPECT_EQ(f.width(), 404);
    EXPECT_EQ(f.height(), 319);
    EXPECT_TRUE(f.ActViewViewAsThumbnail->isChecked());
    EXPECT_FALSE(f.ActViewPreview->isChecked());
    EXPECT_FALSE(f.PnlPreview->isVisible());
    EXPECT_EQ(f.CheckedPreviewPosition(), PreviewPosition::Right);
    EXPECT_FALSE(f.MnuPreviewPosition->isEnabled());
    EXPECT_EQ(f.windowTitle().toStdString(), "Kv Glimmerbox 3.2 - Untitled.gmb");
    EXPECT_EQ(AppTitle, "Kv Glimmerbox 3.2");
    EXPECT_EQ(f.StatusPanel0->text().toStdString(), "0 items");
    EXPECT_TRUE(DMMain->Active());
}

TEST_F(FormFixture, ClosingWritesEverySettingInTheWindowSection)
{
    TFormMain& f = Start();
    f.move(20, 30);
    f.resize(500, 400);
    ASSERT_TRUE(Close());
    const TIniFile ini = Ini();
    EXPECT_EQ(ini.ReadInteger(kWindow, "Left", -1), 20);
    EXPECT_EQ(ini.ReadInteger(kWindow, "Top", -1), 30);
    EXPECT_EQ(ini.ReadInteger(kWindow, "Width", -1), 500);
    EXPECT_EQ(ini.ReadInteger(kWindow, "Height", -1), 400);
    EXPECT_EQ(ini.ReadInteger(kWindow, "PrvSize", -1), 138);
    EXPECT_EQ(ini.ReadInteger(kWindow, "PrvPos", -1), 2);
    EXPECT_EQ(ini.ReadString(kWindow, "PrvShow", "?"), "0");
    EXPECT_EQ(ini.ReadString(kWindow, "VwThumbnail", "?"), "1");

    // And the next start puts it all back.
    Start();
    EXPECT_EQ(form->x(), 20);
    EXPECT_EQ(form->y(), 30);
    EXPECT_EQ(form->width(), 500);
    EXPECT_EQ(form->height(), 400);
}

TEST_F(FormFixture, OversizedLeftPaneShrinksTheWindowToItsMinimum)
{
    TIniFile ini = Ini();
    ini.WriteInteger(kWindow, "Width", 600);
    ini.WriteInteger(kWindow, "PrvPos", 4);
    ini.WriteInteger(kWindow, "PrvSize", 1000);
    TFormMain& f = Start();
    EXPECT_EQ(f.width(), 300);
    EXPECT_EQ(f.PaneWidth(), 100);
    EXPECT_EQ(f.CheckedPreviewPosition(), PreviewPosition::Left);
}

TEST_F(FormFixture, UnknownPositionSizesLikeTopAndChecksLeft)
{
    TIniFile ini = Ini();
    ini.WriteInteger(kWindow, "PrvPos", 7);
    ini.WriteInteger(kWindow, "PrvSize", 90);
    TFormMain& f = Start();
    EXPECT_EQ(f.CheckedPreviewPosition(), PreviewPosition::Left);
    EXPECT_EQ(f.PaneHeight(), 90);
    EXPECT_EQ(f.PaneWidth(), 138);

    ini.WriteInteger(kWindow, "PrvSize", 5000);
    Start();
    EXPECT_EQ(form->height(), 200);
    EXPECT_EQ(form->PaneHeight(), 66);
}

TEST_F(FormFixture, ClosingMaximisedKeepsTheLastNormalPlacement)
{
    TIniFile ini = Ini();
    ini.WriteInteger(kWindow, "Left", 11);
    ini.WriteInteger(kWindow, "Top", 12);
    ini.WriteInteger(kWindow, "Width", 413);
    ini.WriteInteger(kWindow, "Height", 314);
    TFormMain& f = Start();
    f.showMaximized();
    ProcessEvents();
    ASSERT_TRUE(f.isMaximized());
    f.ActViewViewAsIcon->trigger();
    ASSERT_TRUE(Close());
    EXPECT_EQ(ini.ReadInteger(kWindow, "Left", -1), 11);
    EXPECT_EQ(ini.ReadInteger(kWindow, "Top", -1), 12);
    EXPECT_EQ(ini.ReadInteger(kWindow, "Width", -1), 413);
    EXPECT_EQ(ini.ReadInteger(kWindow, "Height", -1), 314);
    EXPECT_EQ(ini.ReadString(kWindow, "VwThumbnail", "?"), "0");
    EXPECT_EQ(ini.ReadInteger(kWindow, "PrvPos", -1), 2);
}

TEST_F(FormFixture, SavedPreviewAndIconViewComeBack)
{
    TIniFile ini = Ini();
    ini.WriteBool(kWindow, "PrvShow", true);
    ini.WriteBool(kWindow, "VwThumbnail", false);
    ini.WriteInteger(kWindow, "PrvPos", 3);
    TFormMain& f = Start();
    EXPECT_TRUE(f.ActViewPreview->isChecked());
    EXPECT_TRUE(f.PnlPreview->isVisible());
    EXPECT_TRUE(f.MnuPreviewPosition->isEnabled());
    EXPECT_EQ(f.CheckedPreviewPosition(), PreviewPosition::Bottom);
    EXPECT_TRUE(f.ActViewViewAsIcon->isChecked());
    EXPECT_EQ(f.ListView1->viewMode(), QListView::ListMode);
}

TEST_F(FormFixture, DockingResetsThePaneToHalfTheWindow)
{
    TFormMain& f = Start();
    f.resize(396, 300);
    ProcessEvents();
    f.ActViewPreview->trigger();
    ProcessEvents();
    EXPECT_EQ(f.PaneWidth(), 198);
    EXPECT_GT(f.PnlPreview->x(), f.Panel1->x());

    f.ActViewPreviewTop->trigger();
    ProcessEvents();
    EXPECT_EQ(f.PaneHeight(), (f.ClientHeight() - f.ToolBar1->height()) / 2);
    EXPECT_LT(f.PnlPreview->y(), f.Panel1->y());

    f.ActViewPreviewLeft->trigger();
    ProcessEvents();
    EXPECT_EQ(f.PaneWidth(), 198);
    EXPECT_LT(f.PnlPreview->x(), f.Panel1->x());

    // Hiding makes the pane square at its larger side; that is what is saved.
    const int side = std::max(f.PnlPreview->width(), f.PnlPreview->height());
    f.ActViewPreview->trigger();
    EXPECT_FALSE(f.PnlPreview->isVisible());
    EXPECT_FALSE(f.MnuPreviewPosition->isEnabled());
    EXPECT_EQ(f.PaneWidth(), side);
    EXPECT_EQ(f.PaneHeight(), side);
    ASSERT_TRUE(Close());
    EXPECT_EQ(Ini().ReadInteger(kWindow, "PrvSize", -1), side);
    EXPECT_EQ(Ini().ReadInteger(kWindow, "PrvPos", -1), 4);
}

TEST_F(FormFixture, HintsGoToTheLastStatusPanel)
{
    TFormMain& f = Start();
    EXPECT_EQ(f.ActFileNew->toolTip().toStdString(), "New");
    EXPECT_EQ(f.ActFileNew->statusTip().toStdString(), "Create new file");
    QStatusTipEvent tip(f.ActFileNew->statusTip());
    QApplication::sendEvent(&f, &tip);
    EXPECT_EQ(f.StatusPanel1->text().toStdString(), "Create new file");
}

TEST_F(FormFixture, EscapedErrorsShowTheErrorBox)
{
    Start();
    QAction probe;
    OnTriggered(&probe, [] { throw Exception("Something broke"); });
    probe.trigger();
    ASSERT_FALSE(prompts->Records().empty());
    const auto& box = prompts->Records().back().message;
    EXPECT_EQ(box.title, "Error");
    EXPECT_EQ(box.text, "Something broke");
    EXPECT_EQ(box.icon, MsgIcon::Stop);
    EXPECT_EQ(box.buttons, std::vector<MsgButton>{MsgButton::Ok});
}

TEST_F(FormFixture, CloseRemovesScratchFilesAndSurvivesAnUnwritableSettingsFile)
{
    IniFileName = Path("no-such-dir/deeper/KvApps.ini");
    QFile(dir.filePath("no-such-dir")).open(QIODevice::WriteOnly); // a file where the folder should be
    TFormMain& f = Start();
    for (const char* name : {"$temp.bmp", "$temp.jpg", "Untitled.gmb", "keep.bmp"})
        QFile(QString::fromStdString(f.TempDir + name)).open(QIODevice::WriteOnly);
    ASSERT_TRUE(Close());
    EXPECT_TRUE(prompts->Records().empty()); // nothing reported
    EXPECT_FALSE(FileExists(f.TempDir + "$temp.bmp"));
    EXPECT_FALSE(FileExists(f.TempDir + "$temp.jpg"));
    EXPECT_FALSE(FileExists(f.TempDir + "Untitled.gmb"));
    EXPECT_TRUE(FileExists(f.TempDir + "keep.bmp"));
}

TEST(KvApps, SettingsPathAndTitlePrefix)
{
    EXPECT_EQ(StripVersion("Kv Glimmerbox 3.2"), "Kv Glimmerbox");
    EXPECT_EQ(StripVersion("NoBlank"), "NoBlank");
    EXPECT_EQ(StripVersion("Trailing "), "Trailing");
    EXPECT_EQ(IniFileNameFor("C:\\WINDOWS\\"), "C:\\WINDOWS\\KvApps.ini");
    EXPECT_EQ(IniFileNameFor("/etc/win/"), "/etc/win/KvApps.ini");
    EXPECT_EQ(IniFileNameFor("/etc/win"), "/etc/win/KvApps.ini");

    const QByteArray saved = qgetenv("windir");
    const QByteArray savedXdg = qgetenv("XDG_CONFIG_HOME");
    qputenv("windir", "/opt/windows");
    EXPECT_EQ(DefaultIniFileName(), "/opt/windows/KvApps.ini");
    qunsetenv("windir");
    qputenv("XDG_CONFIG_HOME", "/home/u/.cfg");
    EXPECT_EQ(DefaultIniFileName(), "/home/u/.cfg/KvApps.ini");
    if (saved.isNull()) qunsetenv("windir"); else qputenv("windir", saved);
    if (savedXdg.isNull()) qunsetenv("XDG_CONFIG_HOME"); else qputenv("XDG_CONFIG_HOME", savedXdg);
}

TEST(ImagePreviewFit, KeepsAspectAndCentres)
{
    EXPECT_EQ(FitPreviewRect(100, 400, 200, 200), QRect(75, 0, 50, 200));
    EXPECT_EQ(FitPreviewRect(400, 100, 200, 200), QRect(0, 75, 200, 50));
    EXPECT_EQ(FitPreviewRect(10, 10, 300, 200), QRect(50, 0, 200, 200));
    EXPECT_EQ(FitPreviewRect(300, 100, 100, 20), QRect(20, 0, 60, 20));
    EXPECT_EQ(FitPreviewRect(0, 10, 100, 100), QRect());
}
