// The vault file commands of the main window: New, Open, Save As, the
// unsaved-data question, the recent-files menu and the password.
#include "UFormMain.h"

#include "imaging/ThumbnailCache.h"
#include "platform/Cleanup.h"
#include "platform/Paths.h"
#include "store/UDMMain.h"
#include "store/UDlgChgPwd.h"
#include "store/UDlgPassword.h"
#include "widgets/KvReopen.h"
#include "widgets/Prompts.h"

#include <QAction>

namespace {

const char* const kVaultFilter = "Glimmerbox data (*.gmb)|*.gmb";
const char* const kVaultExt = "gmb";

FileDialogRequest VaultDialog(bool save)
{
    FileDialogRequest r;
    r.filter = kVaultFilter;
    r.defaultExt = kVaultExt;
    r.mustExist = !save;
    r.overwritePrompt = save;
    return r;
}

} // namespace

void TFormMain::CloseTable() { DMMain->SetActive(false); }

bool TFormMain::CheckModified()
{
    if (CurrentFileName.empty() && Modified) {
        MessageRequest q;
        q.title = "Warning";
        q.text = "Data has been modified.\r\rDo you want to save to a file?";
        q.icon = MsgIcon::Warning;
        q.buttons = {MsgButton::Yes, MsgButton::No, MsgButton::Cancel};
        switch (Prompts().Message(q)) {
        case MsgButton::Yes: ActFileSaveAsExecute(); break;
        case MsgButton::No: Modified = false; break;
        default: break;
        }
    }
    if (!CurrentFileName.empty())
        KvReopen1->Add(CurrentFileName);
    return CurrentFileName.empty() && Modified;
}

void TFormMain::ActFileNewExecute() { NewVault(); }

bool TFormMain::NewVault()
{
    if (CheckModified())
        return false;
    CloseTable();
    TVaultTable& cds = DMMain->CDS;
    cds.SetFileName(std::string());
    cds.CreateDataSet();
    CurrentFileName.clear();
    Modified = false;
    RefreshList();
    return true;
}

void TFormMain::ActFileOpenExecute()
{
    if (const auto path = Prompts().OpenFile(VaultDialog(false)))
        OpenFile(*path);
}

void TFormMain::ActFileSaveAsExecute()
{
    if (const auto path = Prompts().SaveFile(VaultDialog(true))) {
        SaveFile(*path);
        UpdateControls();
    }
}

void TFormMain::OpenFile(const std::string& path)
{
    // New runs first: it writes a bound vault back and asks about unsaved
    // untitled data; when it stops, nothing is opened.
    if (!NewVault())
        return;
    WithCleanup([&] { LoadVault(path); }, [this] { UpdateControls(); });
}

void TFormMain::LoadVault(const std::string& path)
{
    try {
        CloseTable();
        DMMain->CDS.SetFileName(path);
        try {
            DMMain->SetActive(true);
        } catch (const EVaultBusy&) {
            // Another window or program changes this vault: this one views it.
            DMMain->CDS.SetOpenForReading(true);
            WithCleanup([] { DMMain->SetActive(true); }, [] { DMMain->CDS.SetOpenForReading(false); });
        }
        const bool accepted = !DMMain->LocatePassword() || AskPassword();
        if (accepted) {
            // It may have been shown plain before another program protected it.
            ForgetThumbnailsIfEncrypted(*DMMain);
            CurrentFileName = path;
            RefreshList();
        } else {
            NewVault();
        }
    } catch (...) {
        // Whatever failed, the window goes back to an empty untitled vault;
        // the loaded file is dropped without being written.
        DMMain->CDS.SetFileName(std::string());
        NewVault();
        throw;
    }
}

void TFormMain::SaveFile(const std::string& path)
{
    TVaultTable& cds = DMMain->CDS;
    const std::string previous = cds.FileName();
    const TThumbnailScope before = ThumbnailScopeOf(*DMMain);
    cds.SetFileName(path);
    try {
        cds.Save();
    } catch (...) {
        // The window stays bound where it was, so a later write-back does not
        // go to the path that just failed.
        cds.SetFileName(previous);
        throw;
    }
    // A new file is a new scope: its thumbnails come along instead of
    // being made again. An untitled vault's scratch file is gone now, and
    // with it any use of its pictures.
    if (UseThumbnailCache) {
        TThumbnailCache& cache = ThumbnailCacheOfVault();
        const TThumbnailScope after = ThumbnailScopeOf(*DMMain);
        cache.CopyScope(before, after);
        if (previous.empty() && !(before == after))
            cache.ForgetScope(before);
    }
    CurrentFileName = path;
    UpdateControls();
}

void TFormMain::ReopenMenuClick(QAction* item)
{
    const int index = KvReopen1->ItemIndex(item);
    const std::string path = KvReopen1->GetFileName(index);
    OpenFile(path);
    if (CurrentFileName == path)
        KvReopen1->Remove(path);
}

void TFormMain::RunCommand(const std::function<void()>& body)
{
    if (!DMMain) {
        body();
        return;
    }
    try {
        RunVaultCommand(DMMain->CDS, body);
    } catch (const EVaultReplaced& e) {
        AskWhereToSave(e.Message());
    }
}

void TFormMain::AskWhereToSave(const std::string& message)
{
    // Events of the question's own loop end no command of their own that
    // changed anything; this only keeps a second question out.
    static bool asking = false;
    if (asking)
        return;
    asking = true;
    WithCleanup(
        [&] {
            MessageRequest q;
            q.title = "Warning";
            q.text = message + "\r\rDo you want to save to a file?";
            q.icon = MsgIcon::Warning;
            q.buttons = {MsgButton::Yes, MsgButton::No, MsgButton::Cancel};
            switch (Prompts().Message(q)) {
            case MsgButton::Yes: ActFileSaveAsExecute(); break;
            case MsgButton::No:
                DMMain->CDS.DiscardChanges();
                RefreshList();
                break;
            default: break;
            }
        },
        [] { asking = false; });
}

bool TFormMain::AskPassword() { return ::AskPassword(*DMMain); }

void TFormMain::ActToolsPasswordExecute()
{
    ChangePassword(*DMMain);
    // What was shown while it was plain must not stay on disk beside it.
    ForgetThumbnailsIfEncrypted(*DMMain);
}
