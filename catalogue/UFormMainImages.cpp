// The commands on images: add, extract, delete, rename, select, empty.
#include "UFormMain.h"

#include "imaging/AddPreparation.h"
#include "imaging/GifExport.h"
#include "imaging/ImageKinds.h"
#include "imaging/ThumbnailCache.h"
#include "platform/Cleanup.h"
#include "platform/Paths.h"
#include "platform/Stream.h"
#include "platform/Text.h"
#include "store/UDMMain.h"
#include "widgets/Prompts.h"
#include "widgets/WaitCursor.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QListWidget>
#include <QSignalBlocker>
#include <set>

namespace {

const char* const kAddFilter =
    "All (*.bmp;*.ico;*.emf;*.wmf;*.gif;*.jpg;*.jpeg;*.png;*.webp;*.tif;*.tiff;*.heic;*.heif;*.avif)"
    "|*.bmp;*.ico;*.emf;*.wmf;*.gif;*.jpg;*.jpeg;*.png;*.webp;*.tif;*.tiff;*.heic;*.heif;*.avif"
    "|Bitmaps (*.bmp)|*.bmp|Icons (*.ico)|*.ico|Enhanced Metafiles (*.emf)|*.emf|Metafiles (*.wmf)|*.wmf"
    "|GIF Image (*.gif)|*.gif|JPEG Image File (*.jpg;*.jpeg)|*.jpg;*.jpeg"
    "|PNG Image (*.png)|*.png|WebP Image (*.webp)|*.webp|TIFF Image (*.tif;*.tiff)|*.tif;*.tiff"
    "|HEIF Image (*.heic;*.heif)|*.heic;*.heif|AVIF Image (*.avif)|*.avif";

MsgButton AskReplace(const std::string& name)
{
    MessageRequest q;
    q.title = "Information";
    q.text = "\"" + name + "\" already exists.\r\rDo you want to replace existing image?";
    q.icon = MsgIcon::Information;
    q.buttons = {MsgButton::Yes, MsgButton::No, MsgButton::Cancel, MsgButton::NoToAll, MsgButton::YesToAll};
    q.defaultButton = MsgButton::No; // Enter keeps the stored image
    return Prompts().Message(q);
}

constexpr const char* kAdding = "Adding new images...";
constexpr const char* kExporting = "Exporting images...";

// The save dialog for one file: its name, its extension as the default and
// the filter "JPG files (*.jpg)|*.jpg|All files (*.*)|*.*".
FileDialogRequest SaveOneRequest(const std::string& fileName)
{
    const std::string ext = ExtractFileExt(fileName);
    const std::string bare = ext.empty() ? std::string() : ext.substr(1);
    FileDialogRequest r;
    r.fileName = fileName;
    r.defaultExt = bare;
    r.filter = Format("%s files (%s)|%s", UpperCase(bare).c_str(), ("*" + ext).c_str(), ("*" + ext).c_str()) +
               "|All files (*.*)|*.*";
    r.overwritePrompt = true;
    return r;
}

// The loader's or the store's own message, then which of the chosen files it
// was, so that one bad file among hundreds can be found.
Exception CannotAdd(const std::exception& e, const std::string& path)
{
    return Exception(Format("%s\r\rThe file \"%s\" cannot be added.", e.what(), ExtractFileName(path).c_str()));
}

} // namespace

// ---- add -----------------------------------------------------------------------

void TFormMain::ActImageAddExecute()
{
    FileDialogRequest r;
    r.title = "Add";
    r.filter = kAddFilter;
    r.filterIndex = 1;
    r.mustExist = true;
    r.multiSelect = true;
    if (const auto paths = Prompts().OpenFiles(r))
        AddFiles(*paths);
}

void TFormMain::AddFiles(const std::vector<std::string>& paths)
{
    RunLongLoop(kAdding, [&] { AddFilesLoop(paths); }, [&] { RefreshList(); });
}

void TFormMain::RunLongLoop(const std::string& text, const std::function<void()>& loop, const std::function<void()>& after)
{
    ShowStatus(text);
    WithCleanup([&] { WithWaitCursor(loop); }, [&] {
        ShowStatus(std::string());
        if (after)
            after();
    });
}

void TFormMain::ShowProgress(const std::string& text, size_t i, size_t n)
{
    ShowStatus(Format("%s (%d%% of %d)", text.c_str(), static_cast<int>((i + 1) * 100 / n), static_cast<int>(n)));
}

// Each file is decoded and compressed on the workers, a few files ahead;
// the records are looked up, asked about and posted here, in the order
// given.
bool TFormMain::AddFilesLoop(const std::vector<std::string>& paths, TNamedFailures* notAdded)
{
    MsgButton answer = MsgButton::None;
    const size_t n = paths.size();
    TAddThumbnails thumbnails;
    if (UseThumbnailCache)
        thumbnails = {&ThumbnailCacheOfVault(), ThumbnailSetting(), ThumbnailScopeOf(*DMMain)};
    TAddPreparation prepared(paths, WorkerThreads, thumbnails);
    for (size_t i = 0; i < n; ++i) {
        const std::string& path = paths[i];
        ShowProgress(kAdding, i, n);
        TAddJob job;
        try {
            job = prepared.Next([this] { Breathe(); });
        } catch (const std::exception& e) {
            // A file the loaders refuse costs only itself when the caller
            // lists them; a vault that refuses a write still stops it all.
            if (!notAdded)
                throw CannotAdd(e, path);
            notAdded->emplace_back(ExtractFileName(path), e.what());
            continue;
        }
        const std::string kind(1, KindLetterOfFile(path));
        const std::string name = NameWithoutExt(path);
        const bool found = DMMain->LocateImageToReplace(name, kind);
        if (found) {
            if (answer != MsgButton::YesToAll && answer != MsgButton::NoToAll)
                answer = AskReplace(name);
            if (answer == MsgButton::No || answer == MsgButton::NoToAll)
                continue;
            if (answer != MsgButton::Yes && answer != MsgButton::YesToAll)
                return false; // Cancel, or the box closed
        }
        try {
            DMMain->StorePackedImage(found, name, kind, job.width, job.height, job.TakePacked());
        } catch (const std::exception& e) {
            throw CannotAdd(e, path);
        }
        Modified = true;
        Breathe();
    }
    return true;
}

// ---- extract -------------------------------------------------------------------

void TFormMain::ActImageExtractExecute()
{
    WriteSelectedRecords(
        "Select destination folder for extracting selected images.", std::string(),
        [this](int row) {
            std::string name, kind;
            SplitItemCaption(row, name, kind);
            return RecordFileName(name, kind);
        },
        [this](int row, const std::string& path) {
            std::string name, kind;
            SplitItemCaption(row, name, kind);
            if (DMMain->LocateRecord(name, kind))
                DMMain->SaveImageToFile(path);
        });
}

void TFormMain::WriteSelectedRecords(const std::string& folderTitle, const std::string& progress,
                                     const std::function<std::string(int row)>& fileName,
                                     const std::function<void(int row, const std::string& path)>& write)
{
    const std::vector<int> rows = SelectedRows();
    if (rows.empty())
        return;
    std::vector<std::pair<int, std::string>> targets;
    if (rows.size() == 1) {
        const auto path = Prompts().SaveFile(SaveOneRequest(fileName(rows.front())));
        if (!path)
            return;
        targets.emplace_back(rows.front(), *path);
    } else {
        const auto folder = Prompts().BrowseFolder(folderTitle);
        if (!folder)
            return;
        const std::string dir = IncludeTrailingSeparator(*folder);
        for (int row : rows)
            targets.emplace_back(row, dir + fileName(row));
    }
    auto loop = [&] {
        for (size_t i = 0; i < targets.size(); ++i) {
            if (!progress.empty())
                ShowProgress(progress, i, targets.size());
            write(targets[i].first, targets[i].second);
        }
    };
    if (progress.empty())
        loop();
    else
        RunLongLoop(progress, loop);
}

// ---- export as GIF -----------------------------------------------------------

void TFormMain::ActImageExportGifExecute()
{
    std::set<std::string> taken;
    WriteSelectedRecords(
        "Select destination folder for exporting selected images as GIF.", kExporting,
        [&](int row) {
            std::string name, kind;
            SplitItemCaption(row, name, kind);
            // Records of one name and different kinds all end in .gif: the
            // first keeps the plain name, the others add their own extension
            // rather than overwrite it.
            std::string file = SafeFileName(name) + ".gif";
            if (!taken.insert(LowerCase(file)).second) {
                file = RecordFileName(name, kind) + ".gif";
                taken.insert(LowerCase(file));
            }
            return file;
        },
        [this](int row, const std::string& path) { ExportRecordAsGif(row, path); });
}

void TFormMain::ExportRecordAsGif(int row, const std::string& path)
{
    std::string name, kind;
    SplitItemCaption(row, name, kind);
    if (!DMMain->LocateRecord(name, kind))
        return;
    // Made whole in memory first: a picture that cannot be converted leaves
    // no file behind.
    TMemoryStream gif;
    try {
        if (!IsKnownKind(kind))
            throw Exception(kUnknownImageKind);
        const std::unique_ptr<TMemoryStream> bytes = DMMain->CreateImageStream();
        MakeGifOfPicture(*bytes, KindOf(kind).ShownExtension, gif);
    } catch (const std::exception& e) {
        throw Exception(Format("%s\r\rThe image \"%s\" cannot be exported as GIF.", e.what(), ItemFileName(row).c_str()));
    }
    WriteWholeFile(gif.Bytes(), path);
}

// ---- delete, rename, select ------------------------------------------------------

void TFormMain::DeleteRecordsOfRows(const std::vector<int>& rows, std::vector<int>& done)
{
    std::string name, kind;
    for (int row : rows) {
        SplitItemCaption(row, name, kind);
        DMMain->DeleteImage(name, kind);
        Modified = true;
        done.push_back(row);
    }
}

void TFormMain::ActImageDeleteExecute()
{
    const std::vector<int> rows = SelectedRows();
    if (rows.empty())
        return;
    const std::string question = rows.size() == 1 ? "Are you sure to delete \"" + ItemFileName(rows.front()) + "\"?"
                                                  : Format("Are you sure to delete %d items?", static_cast<int>(rows.size()));
    if (!AskYesNo("Confirm", question, MsgIcon::Question))
        return;
    std::vector<int> done;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    WithCleanup([&] { DeleteRecordsOfRows(rows, done); },
        [&] {
            // Items whose records are gone leave the list, also after an error.
            for (auto it = done.rbegin(); it != done.rend(); ++it)
                delete ListView1->takeItem(*it);
            QApplication::restoreOverrideCursor();
            UpdateControls();
        });
}

void TFormMain::ActImageRenameExecute()
{
    const std::vector<int> rows = SelectedRows();
    if (rows.empty())
        return;
    const int row = rows.front();
    std::string oldName, kind;
    SplitItemCaption(row, oldName, kind);
    const auto answer = Prompts().InputBox("Rename", "New name:", oldName);
    if (!answer)
        return;
    const std::string stored = DMMain->CheckNewImageName(*answer, kind);
    DMMain->RenameImage(oldName, kind, stored);
    // The store has changed: marked now, whatever the preview below does.
    Modified = true;
    SetItemRecordName(row, stored);
    UpdatePreview();
}

// Both change many items at once and refresh the window once, not per item.
// Both act on the items shown: what the search hides stays unselected.
void TFormMain::ActImageSelectAllExecute()
{
    {
        const QSignalBlocker quiet(ListView1);
        ListView1->selectionModel()->select(ShownSelection(), QItemSelectionModel::ClearAndSelect);
    }
    UpdateControls();
}

void TFormMain::ActImageInvertSelectionExecute()
{
    {
        const QSignalBlocker quiet(ListView1);
        const QItemSelection shown = ShownSelection();
        // Hidden items never stay selected behind the user's back.
        ListView1->selectionModel()->select(shown, QItemSelectionModel::Toggle);
        QItemSelection hidden;
        for (const QModelIndex& index : ListView1->selectionModel()->selectedIndexes())
            if (!ItemShown(index.row()))
                hidden.select(index, index);
        ListView1->selectionModel()->select(hidden, QItemSelectionModel::Deselect);
    }
    UpdateControls();
}

// ---- empty ---------------------------------------------------------------------

void TFormMain::ActToolsEmptyExecute()
{
    if (SearchActive()) {
        EmptyShownExecute();
        return;
    }
    if (!AskYesNo("Warning",
                  "You are about to delete all images.\rAll images will be lost with filtered affected.\r\rContinue deleting?",
                  MsgIcon::Warning))
        return;
    const auto deleteAll = [&] {
        TVaultTable& cds = DMMain->CDS;
        cds.First();
        while (!cds.Eof() && cds.HasCurrentRecord()) {
            // The password record stays: emptying never removes protection.
            if (DMMain->CDSImageType.AsString() == std::string(1, PasswordKind)) {
                cds.Next();
                continue;
            }
            cds.Delete();
            Modified = true;
        }
        Modified = true;
    };
    WithCleanup([&] { WithWaitCursor(deleteAll); }, [&] { RefreshList(); });
}
