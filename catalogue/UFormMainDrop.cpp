// Files and folders dropped on the window, Add Folder, and items dragged out
// of the list to a file manager.
#include "UFormMain.h"

#include "imaging/ImageFiles.h"
#include "imaging/ImageKinds.h"
#include "platform/Cleanup.h"
#include "platform/Exception.h"
#include "platform/Paths.h"
#include "platform/Picture.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "store/UDMMain.h"
#include "store/VaultFile.h"
#include "widgets/ErrorGuard.h"
#include "widgets/EventHook.h"
#include "widgets/Prompts.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>

#include <set>

namespace {

constexpr const char* kAddFolderTitle = "Select the folder whose images are added.";
constexpr const char* kSearching = "Looking for images...";
constexpr const char* kExtracting = "Extracting images...";
constexpr const char* kVaultNotAdded = "It is a vault, not an image: drop it on its own to open it.";
constexpr const char* kMissing = "No such file or folder.";
constexpr const char* kNotLocal = "It is not a local file.";
constexpr int kDragPixmapSide = 64;

bool HasVaultExtension(const std::string& path) { return SameText(ExtractFileExt(path), ".gmb"); }

// A vault by its name or, for a file of no image kind, by its first bytes.
bool IsVaultFile(const std::string& path)
{
    return HasVaultExtension(path) ||
           (!IsAcceptedImageFile(path) && vaultfile::LooksLikeVault(path, DMMain ? DMMain->CDS.FileName() : std::string()));
}

// "Sunset.jpg", or "Sunset (2).jpg" when a record of this drag already took
// that file name (names made safe can meet: "a:b" and "a_b").
std::string UniqueFileName(const std::string& file, std::set<std::string>& taken)
{
    std::string candidate = file;
    const std::string ext = ExtractFileExt(file);
    const std::string stem = file.substr(0, file.size() - ext.size());
    for (int n = 2; !taken.insert(candidate).second; ++n)
        candidate = Format("%s (%d)%s", stem.c_str(), n, ext.c_str());
    return candidate;
}

} // namespace

void TFormMain::CreateDropControls()
{
    ActImageAddFolder = NewAction("ActImageAddFolder", "Add Folder...", "Add Folder|Add the images of a folder and its subfolders");
    OnTriggered(ActImageAddFolder, [this] { ActImageAddFolderExecute(); });
    const QList<QAction*> items = MnuImage->actions();
    const qsizetype at = items.indexOf(ActImageAdd);
    MnuImage->insertAction(at + 1 < items.size() ? items[at + 1] : nullptr, ActImageAddFolder);
    // Only the mouse's events reach the window: the viewport sees others
    // while the window is being taken down.
    new TEventHook(ListView1->viewport(), [this](QEvent* event) {
        const QEvent::Type type = event->type();
        const bool mouse =
            type == QEvent::MouseButtonPress || type == QEvent::MouseMove || type == QEvent::MouseButtonRelease;
        return mouse && ListDragEvent(event);
    });
}

// ---- drag in ---------------------------------------------------------------------

void TFormMain::dragEnterEvent(QDragEnterEvent* event)
{
    // Items dragged out of the list itself are not taken back in.
    if (event->mimeData()->hasUrls() && event->source() != ListView1)
        event->acceptProposedAction();
}

void TFormMain::dropEvent(QDropEvent* event)
{
    std::vector<TDroppedItem> items;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            items.push_back({url.toLocalFile().toStdString(), true});
        else
            items.push_back({url.toDisplayString().toStdString(), false});
    }
    event->acceptProposedAction();
    // Adding and opening may ask questions: let the drag finish first.
    QTimer::singleShot(0, this, [this, items] { Guarded([&] { DropItems(items); }); });
}

void TFormMain::WMDropFiles(const std::vector<std::string>& names)
{
    std::vector<TDroppedItem> items;
    for (const std::string& name : names)
        items.push_back({name, true});
    DropItems(items);
}

void TFormMain::DropItems(const std::vector<TDroppedItem>& items)
{
    if (items.empty())
        return;
    bool adds = false;
    for (const TDroppedItem& item : items) {
        const QFileInfo info(QString::fromStdString(item.path));
        if (item.local && (info.isDir() || IsAcceptedImageFile(item.path)))
            adds = true;
    }
    const TDroppedItem& first = items.front();
    if (!adds && first.local && QFileInfo(QString::fromStdString(first.path)).isFile() && !IsVaultFile(first.path))
        adds = true;
    if (!adds) {
        // The first item decides, as a drop of vaults always did; one that
        // is not a local file is not quietly replaced by a later one.
        if (!first.local)
            throw Exception(Format("\"%s\" is not a local file and cannot be opened.", first.path.c_str()));
        OpenFile(first.path);
        return;
    }
    std::vector<std::string> paths;
    TNamedFailures notAdded;
    for (const TDroppedItem& item : items) {
        if (!item.local)
            notAdded.emplace_back(item.path, kNotLocal);
        else if (QFileInfo(QString::fromStdString(item.path)).isFile() && IsVaultFile(item.path))
            notAdded.emplace_back(ExtractFileName(item.path), kVaultNotAdded);
        else
            paths.push_back(item.path);
    }
    AddFilesAndFolders(paths, std::move(notAdded));
}

void TFormMain::ActImageAddFolderExecute()
{
    if (const auto folder = Prompts().BrowseFolder(kAddFolderTitle))
        AddFilesAndFolders({*folder});
}

void TFormMain::AddFilesAndFolders(const std::vector<std::string>& paths, TNamedFailures notAdded)
{
    TImageFileWalk walk;
    RunLongLoop(kSearching, [&] { walk = CollectImageFiles(paths, [this] { Breathe(); }); });
    for (const std::string& path : walk.missing)
        notAdded.emplace_back(ExtractFileName(path), kMissing);
    for (const std::string& path : walk.skipped)
        notAdded.emplace_back(ExtractFileName(path), HasVaultExtension(path) ? kVaultNotAdded : UnknownPictureExtension(path));
    bool completed = true;
    if (!walk.files.empty())
        RunLongLoop("Adding new images...", [&] { completed = AddFilesLoop(walk.files, &notAdded); }, [&] { RefreshList(); });
    if (!completed)
        return; // the replace question was cancelled: nothing more to say
    if (walk.files.empty() && notAdded.empty()) {
        MessageRequest q;
        q.title = "Information";
        q.text = "No image files were found.";
        q.icon = MsgIcon::Information;
        Prompts().Message(q);
        return;
    }
    ReportFailures(notAdded, "file", "added");
}

// ---- drag out --------------------------------------------------------------------

// A press on a selected item and a move of the drag distance drag the
// selection out; a press elsewhere still selects by dragging.
bool TFormMain::ListDragEvent(QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        const auto* e = static_cast<QMouseEvent*>(event);
        const QListWidgetItem* item = ListView1->itemAt(e->position().toPoint());
        dragPending_ = e->button() == Qt::LeftButton && !(e->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier)) &&
                       item && item->isSelected();
        dragPressAt_ = e->position().toPoint();
        return false;
    }
    case QEvent::MouseMove: {
        const auto* e = static_cast<QMouseEvent*>(event);
        if (!dragPending_ || !(e->buttons() & Qt::LeftButton))
            return false;
        if ((e->position().toPoint() - dragPressAt_).manhattanLength() >= QApplication::startDragDistance()) {
            dragPending_ = false;
            StartDragOut();
        }
        return true;
    }
    case QEvent::MouseButtonRelease: dragPending_ = false; return false;
    default: return false;
    }
}

void TFormMain::StartDragOut()
{
    const std::vector<int> rows = SelectedRows();
    if (rows.empty())
        return;
    std::unique_ptr<QMimeData> mime;
    Guarded([&] { mime = MakeDragOutData(); });
    // The drag takes the button's release: the list's wait for it ends here.
    listMouseDown_ = false;
    if (mime && !mime->urls().isEmpty()) {
        auto* drag = new QDrag(ListView1);
        drag->setMimeData(mime.release());
        const QPixmap picture = ListView1->item(rows.front())->icon().pixmap(ListView1->iconSize());
        if (!picture.isNull())
            drag->setPixmap(picture.scaled(kDragPixmapSide, kDragPixmapSide, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        // Taken by nobody (let go over this window, or Escape): nobody copies
        // the files, so they go at once.
        if (drag->exec(Qt::CopyAction, Qt::CopyAction) == Qt::IgnoreAction && !dragFolders_.empty()) {
            QDir(QString::fromStdString(dragFolders_.back().first)).removeRecursively();
            dragFolders_.pop_back();
        }
    }
    if (refreshAfterRelease_)
        selectionRefresh_->start();
}

std::unique_ptr<QMimeData> TFormMain::MakeDragOutData()
{
    const std::vector<int> rows = SelectedRows();
    RemoveOldDragFolders();
    const std::string folder = ScratchFolder() + Format("drag-%d", ++dragCount_) + "/";
    if (!QDir().mkdir(QString::fromStdString(folder)))
        throw Exception(Format("Cannot create the folder \"%s\" for the images dragged out.", folder.c_str()));
    dragFolders_.emplace_back(folder, SteadyMs());
    QList<QUrl> urls;
    std::set<std::string> taken;
    auto extract = [&] {
        for (size_t i = 0; i < rows.size(); ++i) {
            if (rows.size() > 1)
                ShowProgress(kExtracting, i, rows.size());
            std::string name, kind;
            SplitItemCaption(rows[i], name, kind);
            if (!DMMain->LocateRecord(name, kind))
                continue;
            // Names made safe as Extract makes them: nothing lands outside the folder.
            const std::string path = folder + UniqueFileName(RecordFileName(name, kind), taken);
            DMMain->SaveImageToFile(path);
            urls.push_back(QUrl::fromLocalFile(QString::fromStdString(path)));
        }
    };
    try {
        if (rows.size() > 1)
            RunLongLoop(kExtracting, extract);
        else
            extract();
    } catch (...) {
        // Nothing half done is offered, nor left behind.
        QDir(QString::fromStdString(folder)).removeRecursively();
        dragFolders_.pop_back();
        throw;
    }
    auto mime = std::make_unique<QMimeData>();
    mime->setUrls(urls);
    return mime;
}

void TFormMain::RemoveOldDragFolders()
{
    const int64_t now = SteadyMs();
    std::erase_if(dragFolders_, [&](const std::pair<std::string, int64_t>& f) {
        if (now - f.second < static_cast<int64_t>(KeepDragFilesSeconds) * 1000)
            return false;
        QDir(QString::fromStdString(f.first)).removeRecursively();
        return true;
    });
}
