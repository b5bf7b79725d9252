#include "FormTestSupport.h"

#include "platform/Paths.h"
#include "platform/Stream.h"
#include "store/UDlgChgPwd.h"
#include "store/UDlgPassword.h"
#include "widgets/ErrorGuard.h"
#include "widgets/KvReopen.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QScreen>

namespace {

std::vector<uint8_t> Bytes(const std::string& path) { return FileExists(path) ? ReadWholeFile(path) : std::vector<uint8_t>{}; }

class LifecycleFixture : public FormFixture {
protected:
    // Adds a record the way the Add command does and marks the window changed.
    void AddRecord(const std::string& name, const std::string& kind)
    {
        const std::string file = Path("src-" + name + ".bin");
        QImage image(4, 3, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        ASSERT_TRUE(image.save(QString::fromStdString(file), kind == "J" ? "JPG" : "BMP"));
        TVaultTable& cds = DMMain->CDS;
        cds.Append();
        DMMain->CDSFileName.SetAsString(name);
        DMMain->CDSDimX.SetAsInteger(4);
        DMMain->CDSDimY.SetAsInteger(3);
        DMMain->LoadImageFromFile(file);
        DMMain->CDSImageType.SetAsString(kind);
        cds.Post();
        form->Modified = true;
    }

    std::vector<std::string> Names()
    {
        std::vector<std::string> names;
        TVaultTable& cds = DMMain->CDS;
        for (cds.First(); !cds.Eof(); cds.Next())
            names.push_back(DMMain->CDSFileName.AsString() + "/" + DMMain->CDSImageType.AsString());
        return names;
    }

    // A vault file on disk with the given records, written through the window.
    std::string MakeVault(const std::string& name, const std::vector<std::string>& records, const std::string& password = {})
    {
        form->ActFileNew->trigger();
        for (const std::string& r : records)
            AddRecord(r, "B");
        if (!password.empty())
            DMMain->SetPassword("", password);
        const std::string path = Path(name);
        form->SaveFile(path);
        form->Modified = false;
        form->ActFileNew->trigger(); // writes it back, untitled again
        return path;
    }

    size_t Messages() const { return prompts->Records().size(); }
    const MessageRequest& LastMessage() const { return prompts->Records().back().message; }

    static int TypePassword(QDialog& d, const std::vector<std::string>& attempts)
    {
        auto& dlg = dynamic_cast<TDlgPassword&>(d);
        for (const std::string& p : attempts) {
            dlg.edPassword->setText(QString::fromStdString(p));
            dlg.accept();
            // The wait cursor of the key's derivation is gone, right or wrong.
            EXPECT_EQ(QApplication::overrideCursor(), nullptr);
            if (dlg.result() == QDialog::Accepted)
                return QDialog::Accepted;
        }
        return QDialog::Rejected;
    }
};

} // namespace

TEST_F(LifecycleFixture, NewWithoutChangesAsksNothing)
{
    Start();
    form->ActFileNew->trigger();
    EXPECT_TRUE(prompts->Records().empty());
    EXPECT_TRUE(form->CurrentFileName.empty());
}

TEST_F(LifecycleFixture, UnsavedUntitledDataQuestion)
{
    Start();
    AddRecord("Photo", "B");

    prompts->AnswerMessage(MsgButton::Cancel);
    form->ActFileNew->trigger();
    ASSERT_EQ(Messages(), 1u);
    EXPECT_EQ(LastMessage().title, "Warning");
    EXPECT_EQ(LastMessage().text, "Data has been modified.\r\rDo you want to save to a file?");
    EXPECT_EQ(LastMessage().icon, MsgIcon::Warning);
    EXPECT_EQ(LastMessage().buttons, (std::vector<MsgButton>{MsgButton::Yes, MsgButton::No, MsgButton::Cancel}));
    EXPECT_EQ(Names(), std::vector<std::string>{"Photo/B"});
    EXPECT_TRUE(form->Modified);

    prompts->AnswerMessage(MsgButton::Yes);
    prompts->Cancel(); // the Save As dialog
    form->ActFileNew->trigger();
    EXPECT_EQ(Names(), std::vector<std::string>{"Photo/B"});
    EXPECT_TRUE(form->Modified);

    const std::string x = Path("x.gmb");
    prompts->AnswerMessage(MsgButton::Yes);
    prompts->AnswerFile(x);
    form->ActFileNew->trigger();
    const auto& save = prompts->Records().back();
    EXPECT_EQ(save.file.filter, "Glimmerbox data (*.gmb)|*.gmb");
    EXPECT_EQ(save.file.defaultExt, "gmb");
    EXPECT_TRUE(save.file.overwritePrompt);
    EXPECT_TRUE(FileExists(x));
    EXPECT_EQ(form->KvReopen1->GetFileName(0), x);
    EXPECT_TRUE(form->CurrentFileName.empty());
    EXPECT_TRUE(Names().empty());
    EXPECT_FALSE(form->Modified);

    AddRecord("Other", "J");
    prompts->AnswerMessage(MsgButton::No);
    form->ActFileNew->trigger();
    EXPECT_TRUE(Names().empty());
    EXPECT_FALSE(form->Modified);
    EXPECT_EQ(prompts->PendingAnswers(), 0u);
}

TEST_F(LifecycleFixture, CancelledQuestionOpensNothing)
{
    Start();
    const std::string y = MakeVault("y.gmb", {"InY"});
    AddRecord("Unsaved", "B");
    prompts->AnswerMessage(MsgButton::Cancel);
    form->OpenFile(y);
    EXPECT_TRUE(form->CurrentFileName.empty());
    EXPECT_EQ(Names(), std::vector<std::string>{"Unsaved/B"});
}

TEST_F(LifecycleFixture, BoundVaultIsWrittenBackOnNewOnlyWhenChanged)
{
    Start();
    const std::string x = MakeVault("x.gmb", {"A", "B"});
    form->OpenFile(x);
    EXPECT_EQ(form->CurrentFileName, x);
    EXPECT_EQ(form->windowTitle().toStdString(), "Kv Glimmerbox 3.2 - x.gmb");
    EXPECT_EQ(Names(), (std::vector<std::string>{"A/B", "B/B"}));

    // Unchanged: New leaves the file alone.
    const auto before = Bytes(x);
    QFile::setPermissions(QString::fromStdString(x), QFileDevice::ReadOwner);
    form->ActFileNew->trigger();
    EXPECT_EQ(Bytes(x), before);
    QFile::setPermissions(QString::fromStdString(x), QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    form->OpenFile(x);
    DMMain->DeleteImage("A", "B");
    form->Modified = true;
    form->ActFileNew->trigger();
    EXPECT_TRUE(prompts->Records().empty());
    EXPECT_EQ(form->KvReopen1->GetFileName(0), x);
    form->OpenFile(x);
    EXPECT_EQ(Names(), std::vector<std::string>{"B/B"});
}

TEST_F(LifecycleFixture, ReopenFromTheListMovesTheOldFileToTheHead)
{
    Start();
    const std::string x = MakeVault("x.gmb", {"A"});
    const std::string y = MakeVault("y.gmb", {"B"});
    form->KvReopen1->Add(y);
    form->OpenFile(x);
    ASSERT_EQ(form->KvReopen1->GetFileName(0), y);
    form->ReopenMenuClick(form->MnuReopen->actions().first());
    EXPECT_EQ(form->CurrentFileName, y);
    EXPECT_EQ(form->KvReopen1->GetFileName(0), x);
    for (int i = 0; i < form->KvReopen1->Count(); ++i)
        EXPECT_NE(form->KvReopen1->GetFileName(i), y);
    EXPECT_EQ(form->windowTitle().toStdString(), "Kv Glimmerbox 3.2 - y.gmb");
}

TEST_F(LifecycleFixture, SaveAsBindsTheNewPathAndLaterChangesGoThereOnly)
{
    Start();
    const std::string x = MakeVault("x.gmb", {"A"});
    form->OpenFile(x);
    const int listed = form->KvReopen1->Count();
    Guarded([&] { AddRecord("New", "J"); }); // a command: written to x as it ends
    const auto written = Bytes(x);
    const std::string z = Path("z.gmb");
    prompts->AnswerFile(z);
    form->ActFileSaveAs->trigger();
    EXPECT_EQ(form->CurrentFileName, z);
    Guarded([&] { AddRecord("Later", "B"); });
    EXPECT_EQ(Bytes(x), written);
    EXPECT_EQ(form->KvReopen1->Count(), listed);
    form->OpenFile(z);
    EXPECT_EQ(Names(), (std::vector<std::string>{"A/B", "Later/B", "New/J"}));
    form->OpenFile(x);
    EXPECT_EQ(Names(), (std::vector<std::string>{"A/B", "New/J"}));
}

TEST_F(LifecycleFixture, FailedSaveAsKeepsTheWindowBoundWhereItWas)
{
    Start();
    const std::string x = MakeVault("x.gmb", {"A"});
    form->OpenFile(x);
    AddRecord("Later", "B");
    prompts->AnswerFile(Path("missing-dir/z.gmb"));
    prompts->AnswerMessage(MsgButton::Ok); // the error box
    form->ActFileSaveAs->trigger();
    EXPECT_EQ(LastMessage().title, "Error");
    EXPECT_EQ(form->CurrentFileName, x);
    EXPECT_EQ(DMMain->CDS.FileName(), x);
    form->ActFileNew->trigger(); // the write-back goes to x
    form->OpenFile(x);
    EXPECT_EQ(Names(), (std::vector<std::string>{"A/B", "Later/B"}));
}

TEST_F(LifecycleFixture, AFailedWriteCostsOnlyItsCommandAndTheWindowGoesOn)
{
    Start();
    const std::string x = Path("x.gmb");
    form->SaveFile(x);
    Guarded([&] { AddRecord("Keep", "B"); });
    TVaultTable::SetWriteProbe([](TWriteStage stage, int64_t) {
        if (stage == TWriteStage::FileSynced) // only a commit syncs
            throw Exception("disk full");
    });
    prompts->AnswerMessage(MsgButton::Ok);
    EXPECT_FALSE(Guarded([&] { AddRecord("Lost", "B"); }));
    TVaultTable::SetWriteProbe({});
    ASSERT_GT(Messages(), 0u);
    EXPECT_EQ(LastMessage().title, "Error");
    EXPECT_NE(LastMessage().text.find("disk full"), std::string::npos) << LastMessage().text;
    EXPECT_NE(LastMessage().text.find("the changes of this command are lost."), std::string::npos);
    EXPECT_EQ(form->CurrentFileName, x);
    EXPECT_TRUE(DMMain->Active());
    EXPECT_EQ(Names(), std::vector<std::string>{"Keep/B"});
    Guarded([&] { AddRecord("Later", "B"); });
    EXPECT_TRUE(Close());
    Start();
    form->OpenFile(x);
    EXPECT_EQ(Names(), (std::vector<std::string>{"Keep/B", "Later/B"}));
}

TEST_F(LifecycleFixture, AVaultFileReplacedWhileOpenAsksWhereToSaveTheChanges)
{
    Start();
    const std::string x = Path("x.gmb");
    form->SaveFile(x);
    Guarded([&] { AddRecord("Keep", "B"); });
    // A sync client puts its own file in the vault's place while a command runs.
    const std::string other = Path("other.gmb");
    {
        TVaultTable t("CDS");
        t.CreateDataSet();
        t.SetFileName(other);
        t.Save();
        t.Close();
    }
    const auto foreign = Bytes(other);
    const std::string z = Path("z.gmb");
    prompts->AnswerMessage(MsgButton::Yes);
    prompts->AnswerFile(z);
    EXPECT_TRUE(Guarded([&] {
        AddRecord("After", "B");
        ASSERT_EQ(std::rename(other.c_str(), x.c_str()), 0);
    }));
    MessageRequest question;
    for (const auto& r : prompts->Records())
        if (r.kind == TScriptedPrompts::Record::Kind::Message)
            question = r.message;
    EXPECT_EQ(question.title, "Warning");
    EXPECT_EQ(question.text, "Cannot write vault \"" + x +
                                 "\": another program replaced or removed the file since it was opened; nothing was "
                                 "written to it.\r\rDo you want to save to a file?");
    EXPECT_EQ(form->CurrentFileName, z);
    EXPECT_EQ(Bytes(x), foreign);
    EXPECT_EQ(Names(), (std::vector<std::string>{"After/B", "Keep/B"}));
    EXPECT_TRUE(Close());
    Start();
    form->OpenFile(z);
    EXPECT_EQ(Names(), (std::vector<std::string>{"After/B", "Keep/B"}));
}

TEST_F(LifecycleFixture, AVaultAnotherWindowHoldsOpensForViewing)
{
    Start();
    const std::string x = MakeVault("x.gmb", {"A", "B"});
    TVaultTable other("CDS"); // another window holds it for changes
    other.SetFileName(x);
    other.Open();
    form->OpenFile(x);
    EXPECT_EQ(form->CurrentFileName, x);
    EXPECT_TRUE(DMMain->CDS.ReadOnly());
    EXPECT_EQ(Names(), (std::vector<std::string>{"A/B", "B/B"}));
    prompts->AnswerMessage(MsgButton::Ok);
    EXPECT_FALSE(Guarded([&] { DMMain->DeleteImage("A", "B"); }));
    EXPECT_EQ(LastMessage().text, "Vault \"" + x + "\" is open for reading only: it cannot be changed here.");
    other.Close();
    form->ActFileNew->trigger();
    form->OpenFile(x); // free again: for changes
    EXPECT_FALSE(DMMain->CDS.ReadOnly());
}

TEST_F(LifecycleFixture, DroppingFilesOpensOnlyTheFirst)
{
    Start();
    const std::string a = MakeVault("a.gmb", {"A"});
    const std::string b = MakeVault("b.gmb", {"B"});
    form->WMDropFiles({a, b, Path("c.gmb")});
    EXPECT_EQ(form->CurrentFileName, a);
    EXPECT_TRUE(prompts->Records().empty());
}

// Drops arrive as Qt drag and drop; the first dropped item decides.
TEST_F(LifecycleFixture, DropWhoseFirstItemIsNotALocalFileSaysSo)
{
    Start();
    const std::string a = MakeVault("a.gmb", {"A"});
    prompts->AnswerMessage(MsgButton::Ok);
    DropUrls({QUrl("https://example.com/v.gmb"), QUrl::fromLocalFile(QString::fromStdString(a))});
    ASSERT_EQ(Messages(), 1u);
    EXPECT_EQ(LastMessage().title, "Error");
    EXPECT_EQ(LastMessage().text, "\"https://example.com/v.gmb\" is not a local file and cannot be opened.");
    EXPECT_TRUE(form->CurrentFileName.empty());

    DropUrls({QUrl::fromLocalFile(QString::fromStdString(a)), QUrl("https://example.com/v.gmb")});
    EXPECT_EQ(form->CurrentFileName, a);
    EXPECT_EQ(prompts->PendingAnswers(), 0u);
}

TEST_F(LifecycleFixture, MissingAndDamagedFilesGiveAnEmptyUntitledVault)
{
    Start();
    const std::string gone = MakeVault("gone.gmb", {"A"});
    form->KvReopen1->Add(gone);
    QFile::remove(QString::fromStdString(gone));
    prompts->AnswerMessage(MsgButton::Ok);
    form->MnuReopen->actions().first()->trigger();
    EXPECT_EQ(LastMessage().text, "CDS: Missing data provider or data packet");
    EXPECT_TRUE(form->CurrentFileName.empty());
    EXPECT_TRUE(DMMain->Active());
    EXPECT_EQ(form->KvReopen1->GetFileName(0), gone);

    const std::string junk = Path("junk.gmb");
    {
        TFileStream f(junk, FileMode::Create);
        f.WriteBuffer("not a vault at all", 18);
    }
    const auto before = Bytes(junk);
    prompts->AnswerMessage(MsgButton::Ok);
    Guarded([&] { form->OpenFile(junk); });
    EXPECT_EQ(LastMessage().title, "Error");
    EXPECT_FALSE(LastMessage().text.empty());
    EXPECT_TRUE(form->CurrentFileName.empty());
    EXPECT_EQ(Bytes(junk), before);
}

TEST_F(LifecycleFixture, CommandLineOpensOnlyTheFirstArgument)
{
    Start();
    const std::string a = MakeVault("a.gmb", {"A"});
    const std::string b = MakeVault("b.gmb", {"B"});
    ASSERT_TRUE(Close());
    Start({a, b});
    EXPECT_EQ(form->CurrentFileName, a);
    EXPECT_EQ(Names(), std::vector<std::string>{"A/B"});
}

TEST_F(LifecycleFixture, RelativeCommandLinePathIsMadeAbsolute)
{
    Start();
    const std::string a = MakeVault("a.gmb", {"A"});
    ASSERT_TRUE(Close());
    QDir().mkpath(QString::fromStdString(Path("sub")));
    {
        // Started in the vault's folder with a relative path.
        struct RestoreCurrent {
            QString saved = QDir::currentPath();
            ~RestoreCurrent() { QDir::setCurrent(saved); }
        } restore;
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        Start({"sub/../a.gmb"});
    }
    // From any other folder the window's file name and its recent-files
    // entry still name the same file.
    const QFileInfo opened(QString::fromStdString(form->CurrentFileName));
    EXPECT_TRUE(opened.isAbsolute()) << form->CurrentFileName;
    EXPECT_EQ(form->CurrentFileName.find(".."), std::string::npos) << form->CurrentFileName;
    EXPECT_EQ(opened.canonicalFilePath(), QFileInfo(QString::fromStdString(a)).canonicalFilePath());
    EXPECT_EQ(Names(), std::vector<std::string>{"A/B"});
    const std::string bound = form->CurrentFileName;
    form->ActFileNew->trigger();
    EXPECT_EQ(form->KvReopen1->GetFileName(0), bound);
    form->MnuReopen->actions().first()->trigger();
    EXPECT_EQ(form->CurrentFileName, bound);
    EXPECT_TRUE(prompts->Records().empty());
}

TEST_F(LifecycleFixture, ProtectedVaultAsksForItsPassword)
{
    Start();
    const std::string p = MakeVault("p.gmb", {"Secret"}, "abc");
    const auto before = Bytes(p);

    // Cancelled: empty untitled vault, file untouched.
    prompts->Cancel();
    form->OpenFile(p);
    EXPECT_EQ(prompts->Records().back().title, "Password");
    EXPECT_TRUE(form->CurrentFileName.empty());
    EXPECT_TRUE(Names().empty());
    EXPECT_EQ(Bytes(p), before);

    // Three wrong tries (one differs only in case), then the right one.
    prompts->AnswerDialog([](QDialog& d) { return TypePassword(d, {"x", "ABC", "abcd", "abc"}); });
    for (int i = 0; i < 3; ++i)
        prompts->AnswerMessage(MsgButton::Ok);
    form->OpenFile(p);
    EXPECT_EQ(form->CurrentFileName, p);
    int wrong = 0;
    for (const auto& r : prompts->Records())
        wrong += r.message.text == "Wrong password." && r.message.title == "Error" && !r.busyCursor;
    EXPECT_EQ(wrong, 3);
    EXPECT_EQ(form->ListView1->count(), 1); // the password record is not listed
}

TEST_F(LifecycleFixture, ChangingAndRemovingThePassword)
{
    Start();
    // No password yet: the old box is disabled; a new one protects the vault.
    prompts->AnswerDialog([](QDialog& d) {
        auto& dlg = dynamic_cast<TDlgChgPwd&>(d);
        EXPECT_FALSE(dlg.edOld->isEnabled());
        EXPECT_EQ(dlg.edNew->maxLength(), 50);
        EXPECT_EQ(dlg.edNew->echoMode(), QLineEdit::Password);
        dlg.edNew->setText("pw9");
        dlg.edVerify->setText("pw8");
        dlg.accept(); // not verified: stays open
        EXPECT_NE(dlg.result(), QDialog::Accepted);
        dlg.edVerify->setText("pw9");
        dlg.accept();
        return dlg.result();
    });
    prompts->AnswerMessage(MsgButton::Ok);  // "New password is not verified correctly."
    prompts->AnswerMessage(MsgButton::Ok);  // "Password is changed successfully."
    form->ActToolsPassword->trigger();
    const auto& recs = prompts->Records();
    ASSERT_GE(recs.size(), 3u);
    EXPECT_EQ(recs[0].title, "Change Password");
    EXPECT_EQ(recs[1].message.text, "New password is not verified correctly.");
    EXPECT_EQ(recs[2].message.title, "Information");
    EXPECT_EQ(recs[2].message.text, "Password is changed successfully.");
    EXPECT_FALSE(recs[2].busyCursor);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    ASSERT_TRUE(DMMain->LocatePassword());
    // Neither the password nor its old scrambled form ":xq" is stored.
    EXPECT_EQ(DMMain->CDSFileName.AsString().find("pw9"), std::string::npos);
    EXPECT_NE(DMMain->CDSFileName.AsString(), ":xq");
    EXPECT_TRUE(DMMain->Encrypted());
    EXPECT_THROW(DMMain->CheckPassword("pw8"), std::exception);
    DMMain->CheckPassword("pw9");

    // Removing: any old text differing from the empty new one, then Yes.
    prompts->AnswerDialog([](QDialog& d) {
        auto& dlg = dynamic_cast<TDlgChgPwd&>(d);
        EXPECT_TRUE(dlg.edOld->isEnabled());
        dlg.edOld->setText("whatever");
        dlg.accept();
        return dlg.result();
    });
    prompts->AnswerMessage(MsgButton::Yes); // "Are you sure to empty password?"
    prompts->AnswerMessage(MsgButton::Ok);  // "Password is now removed."
    form->ActToolsPassword->trigger();
    EXPECT_EQ(prompts->Records().back().message.text, "Password is now removed.");
    EXPECT_FALSE(DMMain->LocatePassword());
}

// Both password dialogs open in the middle of the screen, wherever the
// window stands.
TEST_F(LifecycleFixture, PasswordDialogsAreCentredOnTheScreen)
{
    Start();
    form->move(0, 0);
    form->activateWindow();
    ProcessEvents();
    const QPoint middle = QGuiApplication::primaryScreen()->availableGeometry().center();
    TDlgPassword ask(*DMMain, form.get());
    TDlgChgPwd change(*DMMain, form.get());
    for (QDialog* dialog : {static_cast<QDialog*>(&ask), static_cast<QDialog*>(&change)}) {
        SCOPED_TRACE(dialog->windowTitle().toStdString());
        const QPoint off = dialog->geometry().center() - middle;
        EXPECT_LE(off.manhattanLength(), 2) << off.x() << ", " << off.y();
        dialog->show();
        ProcessEvents();
        // Shown, it stays there (give or take its frame) instead of going over its parent.
        const QPoint shownOff = dialog->geometry().center() - middle;
        const QSize frame = dialog->frameGeometry().size() - dialog->geometry().size();
        EXPECT_LE(std::abs(shownOff.x()), frame.width()) << shownOff.x();
        EXPECT_LE(std::abs(shownOff.y()), frame.height()) << shownOff.y();
        dialog->hide();
    }
}

TEST_F(LifecycleFixture, AnyPasswordTheDialogTakesIsKept)
{
    Start();
    // 50 characters, one of code 255: the scrambled form could not have held it.
    const QString longest = QString(49, 'a') + QChar(0xFF);
    prompts->AnswerDialog([&](QDialog& d) {
        auto& dlg = dynamic_cast<TDlgChgPwd&>(d);
        dlg.edNew->setText(longest);
        dlg.edVerify->setText(longest);
        dlg.accept();
        return dlg.result();
    });
    prompts->AnswerMessage(MsgButton::Ok);
    form->ActToolsPassword->trigger();
    EXPECT_EQ(prompts->Records().back().message.text, "Password is changed successfully.");
    ASSERT_TRUE(DMMain->LocatePassword());
    EXPECT_THROW(DMMain->CheckPassword(QString(49, 'a').toStdString()), std::exception);
    DMMain->CheckPassword(longest.toStdString());
}
