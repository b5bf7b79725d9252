// The catalogue list of the main window: filling it from the store, the
// kind filter, the window refresh and the status bar.
#include "UFormMain.h"

#include "ListRoles.h"
#include "imaging/ImageKinds.h"
#include "ImagePreview.h"
#include "imaging/Thumbnail.h"
#include "UDlgSize.h"
#include "UKvApps.h"
#include "platform/Cleanup.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "platform/Stream.h"
#include "imaging/ShellIcon.h"
#include "imaging/ThumbnailCache.h"
#include "platform/WorkerPool.h"
#include "store/UDMMain.h"
#include "widgets/KeepPainting.h"
#include "widgets/Prompts.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QTimer>
#include <algorithm>

namespace {

// Thumbnails to make from which the whole vault is read ahead.
constexpr long kReadAheadFrom = 64;

} // namespace

TMemoryBudget& FillMemoryBudget()
{
    static TMemoryBudget budget(kFillMemoryBudget);
    return budget;
}

void TFormMain::ShowStatus(const std::string& text)
{
    if (StatusLog)
        StatusLog->push_back(text);
    StatusPanel1->setText(QString::fromStdString(text));
    StatusPanel1->repaint();
}

QSize TFormMain::ThumbnailSetting() const
{
    const TIniFile ini(IniFileName);
    const std::string section = StripVersion(AppTitle) + " Thumbnail";
    // Held to the size dialog's ranges: a hand-edited file must not break every fill.
    const int w = std::clamp(ini.ReadInteger(section, "Width", ImgLstLarge->Width()), TDlgSize::MinWidth, TDlgSize::MaxWidth);
    // The size steps go higher than the dialog's height.
    const int maxHeight = std::max(TDlgSize::MaxHeight, ThumbnailSteps().back());
    const int h = std::clamp(ini.ReadInteger(section, "Height", ImgLstLarge->Height()), TDlgSize::MinHeight, maxHeight);
    return QSize(w, h);
}

void TFormMain::RefreshList()
{
    const QSize size = ThumbnailSetting();
    ImgLstLarge->SetSize(size.width(), size.height());

    ShowStatus("Loading images...");
    QApplication::setOverrideCursor(Qt::WaitCursor);
    // The emptied list is shown once before the bulk update: a long fill
    // shows an empty list, not whatever the screen held there.
    ListView1->clear();
    if (KeepWindowPainting)
        PaintNow();
    ListView1->setUpdatesEnabled(false);
    WithCleanup([this] { FillList(); },
                [this] {
                    ArrangeFilledList();
                    if (UseThumbnailCache)
                        ThumbnailCacheOfVault().Flush();
                    ApplyItemIcons();
                    ListView1->setUpdatesEnabled(true);
                    QApplication::restoreOverrideCursor();
                    ShowStatus(std::string());
                    UpdateControls();
                });
    ReportFillFailures();
}

namespace {

// One record of a fill, in the store's order.
struct TFillEntry {
    std::string name;
    std::string type;
    std::string caption;
    bool password = false;
    // For the list's orders: read with the record's other fields, never its bytes.
    int64_t storedSize = 0;
    int64_t pixels = 0;
    TThumbnailKey key;
    std::optional<QImage> thumbnail;  // from the cache, or made by a job
    TWorkerPool::TTicket job;
    std::exception_ptr error;         // reading the record failed
};

// Failures named one by one in the warning after a fill; the rest are counted.
constexpr size_t kFailuresNamed = 5;

std::string FileNameOfCaption(const std::string& caption) { return caption.substr(0, caption.rfind(' ')); }

QByteArray Bytes(const std::string& text) { return QByteArray(text.data(), static_cast<qsizetype>(text.size())); }
std::string Text(const QVariant& bytes)
{
    const QByteArray b = bytes.toByteArray();
    return std::string(b.constData(), static_cast<size_t>(b.size()));
}

// What a record's image is expected to inflate to: photos barely deflate,
// pictures stored as pixels take a few bytes each.
int64_t ExpectedInflatedBytes(size_t packed, int64_t pixels)
{
    return std::max<int64_t>(2 * static_cast<int64_t>(packed), 4 * std::max<int64_t>(pixels, 0)) + (64 << 10);
}

// The thumbnail of a record from its stored blob: what the list shows,
// exactly as the record's own thumbnail step makes it. The inflated image
// is held under the budget until the thumbnail is made.
QImage ThumbnailOfStored(const TBlobCodec& codec, std::vector<uint8_t> stored, const TFillEntry& e, int width,
                         int height, TMemoryBudget& budget)
{
    std::vector<uint8_t> packed = codec.Unseal(std::move(stored), e.name, e.type);
    TMemoryBudget::TLease lease(budget, ExpectedInflatedBytes(packed.size(), e.pixels));
    TMemoryStream image;
    DecompressWithinLease(std::move(packed), image, lease);
    image.SetPosition(0);
    return MakeThumbnail(image, KindOf(e.type).Letter, width, height).ToQImage();
}

} // namespace

TThumbnailCache& TFormMain::ThumbnailCacheOfVault()
{
    // An encrypted vault's pictures stay in this process: never on disk.
    static TThumbnailCache memoryOnly{std::string()};
    return DMMain && DMMain->Encrypted() ? memoryOnly : TThumbnailCache::Shared();
}

void TFormMain::Breathe()
{
    if (KeepWindowPainting)
        KeepPainting();
}

// The records are walked once on this thread to learn their captions and
// cache keys (no image bytes are read); the thumbnails the cache lacks are
// made on the workers a few records ahead of the items being appended, in
// the store's order, with the progress text of each record.
void TFormMain::FillList()
{
    ImgLstLarge->Clear();
    ImgLstSmall->Clear();
    ListView1->clear();
    fillFailures_.clear();

    TVaultTable& cds = DMMain->CDS;
    if (!cds.Active() || cds.RecordCount() == 0)
        return;
    const int64_t total = cds.RecordCount();
    const int width = ImgLstLarge->Width();
    const int height = ImgLstLarge->Height();
    TThumbnailCache* cache = UseThumbnailCache ? &ThumbnailCacheOfVault() : nullptr;
    // Copied for the workers: it shares the vault key, never the table.
    const TBlobCodec codec = DMMain->CDS.BlobCodec();

    std::vector<TFillEntry> entries;
    entries.reserve(static_cast<size_t>(total));
    for (cds.First(); !cds.Eof(); cds.Next()) {
        TFillEntry& e = entries.emplace_back();
        e.type = DMMain->CDSImageType.AsString();
        e.password = e.type == std::string(1, PasswordKind);
        if (e.password)
            continue;
        e.name = DMMain->CDSFileName.AsString();
        e.caption = ItemCaption();
        e.pixels = int64_t{DMMain->CDSDimX.AsInteger()} * DMMain->CDSDimY.AsInteger();
        // A record that cannot be read costs only itself: it is listed broken
        // when the fill reaches it.
        try {
            e.storedSize = DMMain->CDSImage.BlobSize();
            if (!IsKnownKind(e.type))
                throw Exception(kUnknownImageKind);
            e.key = ThumbnailKeyOfRecord(*DMMain, width, height);
            if (cache)
                e.thumbnail = cache->Find(e.key);
        } catch (const std::exception&) {
            e.error = std::current_exception();
        }
        Breathe();
    }

    TMemoryBudget& budget = FillBudget ? *FillBudget : FillMemoryBudget();
    TWorkerPool pool(WorkerThreads);
    // Most records' bytes will be read here, one after another: the system
    // starts reading the vault in now, so that a read rarely waits for the
    // disk with the window in its hands.
    const auto misses = std::count_if(entries.begin(), entries.end(), [](const TFillEntry& e) { return !e.thumbnail; });
    if (pool.Threads() > 0 && misses >= kReadAheadFrom && !cds.FileName().empty())
        pool.Submit([path = cds.FileName()] { HintWholeFileWillBeRead(path); });
    const size_t ahead = static_cast<size_t>(4 * std::max(1, pool.Threads()));
    size_t submitted = 0;
    // Reads the stored bytes of the records up to limit that need making
    // (through the store, on this thread) and hands them to the workers.
    const auto submitUpTo = [&](size_t limit) {
        for (; submitted < std::min(limit, entries.size()); ++submitted) {
            TFillEntry& e = entries[submitted];
            if (e.password || e.thumbnail || e.error)
                continue;
            try {
                if (!cds.Locate("FileName;ImageType", {e.name, e.type}, false))
                    throw Exception("Record not found");
                TMemoryStream storedStream;
                DMMain->CDSImage.SaveToStream(storedStream);
                e.job = pool.Submit([&e, &codec, cache, width, height, &budget,
                                     stored = storedStream.TakeBytes()]() mutable {
                    e.thumbnail = ThumbnailOfStored(codec, std::move(stored), e, width, height, budget);
                    if (cache)
                        cache->Put(e.key, *e.thumbnail);
                });
            } catch (const std::exception&) {
                e.error = std::current_exception();
            }
        }
    };

    int64_t done = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        TFillEntry& e = entries[i];
        ++done;
        ShowStatus(Format("Loading images... (%d%% of %d)", static_cast<int>(done * 100 / total), static_cast<int>(total)));
        if (e.password)
            continue;
        submitUpTo(i + 1 + ahead);
        std::string broken;
        try {
            if (e.error)
                std::rethrow_exception(e.error);
            if (e.job) {
                pool.Wait(e.job, [this] { Breathe(); });
                ++ThumbnailsMade;
            }
        } catch (const std::exception& error) {
            broken = error.what();
            if (broken.empty())
                broken = "Error";
        }
        if (broken.empty()) {
            ImgLstLarge->Add(*e.thumbnail);
            ImgLstSmall->Add(CachedShellIconImage("a" + KindOf(e.type).ShownExtension, ImgLstSmall->Width(), ImgLstSmall->Height()));
        } else {
            ImgLstLarge->Add(BrokenImagePicture(width, height));
            ImgLstSmall->Add(BrokenImagePicture(ImgLstSmall->Width(), ImgLstSmall->Height()));
            fillFailures_.emplace_back(FileNameOfCaption(e.caption), broken);
        }
        e.thumbnail.reset();
        QListWidgetItem* item = NewRecordItem(QString::fromStdString(e.caption), e.type, static_cast<int>(i), e.storedSize, e.pixels);
        item->setData(kImageIndexRole, ImgLstLarge->Count() - 1);
        // The record itself, not its caption: the name's bytes need not be
        // valid UTF-8, and another record may differ only in letter case.
        item->setData(kRecordNameRole, Bytes(e.name));
        item->setData(kRecordKindRole, Bytes(e.type));
        if (!broken.empty())
            item->setData(kBrokenRole, Bytes(broken));
        ListView1->addItem(item);
        Breathe();
    }
}

void TFormMain::ReportFillFailures()
{
    const TNamedFailures failures = std::move(fillFailures_);
    fillFailures_.clear();
    ReportFailures(failures, "image", "shown");
}

void TFormMain::ReportFailures(const TNamedFailures& failures, const std::string& what, const std::string& done)
{
    if (failures.empty())
        return;
    MessageRequest q;
    q.title = "Warning";
    q.icon = MsgIcon::Warning;
    if (failures.size() == 1) {
        q.text = Format("%s\r\rThe %s \"%s\" cannot be %s.", failures.front().second.c_str(), what.c_str(),
                        failures.front().first.c_str(), done.c_str());
    } else {
        q.text = Format("%d %ss cannot be %s.\r", static_cast<int>(failures.size()), what.c_str(), done.c_str());
        for (size_t i = 0; i < std::min(failures.size(), kFailuresNamed); ++i) {
            std::string message = failures[i].second;
            std::replace(message.begin(), message.end(), '\r', ' ');
            q.text += Format("\r\"%s\": %s", failures[i].first.c_str(), message.c_str());
        }
        if (failures.size() > kFailuresNamed)
            q.text += Format("\r... and %d more.", static_cast<int>(failures.size() - kFailuresNamed));
    }
    Prompts().Message(q);
}

std::string TFormMain::ItemBrokenMessage(int index) const { return Text(ListView1->item(index)->data(kBrokenRole)); }

void TFormMain::ApplyItemIcons()
{
    const bool thumbnails = ActViewViewAsThumbnail->isChecked();
    const TImageList& images = thumbnails ? *ImgLstLarge : *ImgLstSmall;
    ListView1->setIconSize(QSize(images.Width(), images.Height()));
    // Thumbnails sit in an even grid with room for two caption lines.
    const int line = ListView1->fontMetrics().height();
    ListView1->setGridSize(thumbnails ? QSize(std::max(images.Width() + 16, 7 * line), images.Height() + 2 * line + 10) : QSize());
    for (int i = 0; i < ListView1->count(); ++i) {
        QListWidgetItem* item = ListView1->item(i);
        const int index = item->data(kImageIndexRole).toInt();
        if (index >= 0 && index < images.Count())
            item->setIcon(QIcon(QPixmap::fromImage(images[index])));
        if (i % 64 == 63)
            Breathe();
    }
}

std::string TFormMain::ItemCaption()
{
    return Format("%s%s (%dx%d)", DMMain->CDSFileName.AsString().c_str(), ShownExtensionOf(DMMain->CDSImageType.AsString()).c_str(),
                  DMMain->CDSDimY.AsInteger(), DMMain->CDSDimX.AsInteger());
}

void TFormMain::SplitItemCaption(int index, std::string& name, std::string& kind) const
{
    const QListWidgetItem* item = ListView1->item(index);
    if (item->data(kRecordKindRole).isValid()) {
        name = Text(item->data(kRecordNameRole));
        kind = Text(item->data(kRecordKindRole));
        return;
    }
    // An item made without its record (none of the fill's): read back from the caption.
    const std::string caption = item->text().toStdString();
    const size_t dot = caption.rfind('.');
    if (dot == std::string::npos) {
        name = caption;
        kind.clear();
        return;
    }
    name = caption.substr(0, dot);
    // The shown extension runs to the blank before the size: ".webp" is V.
    const size_t blank = caption.find(' ', dot);
    const ImageKind letter = KindOfShownExtension(caption.substr(dot, blank == std::string::npos ? std::string::npos : blank - dot));
    kind = letter ? std::string(1, letter) : std::string();
}

void TFormMain::SetItemRecordName(int index, const std::string& name)
{
    QListWidgetItem* item = ListView1->item(index);
    std::string unused, kind;
    SplitItemCaption(index, unused, kind);
    const std::string caption = item->text().toStdString();
    const size_t blank = caption.rfind(' ');
    item->setText(QString::fromStdString(name + ShownExtensionOf(kind) + (blank == std::string::npos ? std::string() : caption.substr(blank))));
    item->setData(kRecordNameRole, Bytes(name));
}

std::string TFormMain::ItemFileName(int index) const
{
    const std::string caption = ListView1->item(index)->text().toStdString();
    const size_t blank = caption.rfind(' ');
    return blank == std::string::npos ? caption : caption.substr(0, blank);
}

std::vector<int> TFormMain::SelectedRows() const
{
    std::vector<int> rows;
    for (int i = 0; i < ListView1->count(); ++i)
        if (ListView1->item(i)->isSelected() && ItemShown(i))
            rows.push_back(i);
    return rows;
}

void TFormMain::ActViewThumbnailSizeExecute()
{
    int w = ImgLstLarge->Width();
    int h = ImgLstLarge->Height();
    if (!ExecuteSizeDialog(w, h))
        return;
    SetThumbnailSize(w, h);
}

void TFormMain::ActFilterExecute()
{
    TVaultTable& cds = DMMain->CDS;
    cds.SetFiltered(false);
    cds.SetFilter(std::string());
    const std::vector<QAction*> kinds = {ActFilterBMP, ActFilterICO,  ActFilterEMF,  ActFilterWMF,  ActFilterJPEG, ActFilterGIF,
                                         ActFilterPNG, ActFilterWEBP, ActFilterTIFF, ActFilterHEIF, ActFilterAVIF};
    const char letters[] = {'B', 'I', 'E', 'W', 'J', 'G', 'P', 'V', 'T', 'H', 'A'};
    for (size_t i = 0; i < kinds.size(); ++i)
        if (kinds[i]->isChecked()) {
            cds.SetFilter(KindOf(letters[i]).FilterExpression);
            break;
        }
    cds.SetFiltered(!cds.Filter().empty());
    RefreshList();
}

void TFormMain::UpdateControls()
{
    // This refresh covers any that a selection change was waiting for.
    selectionRefresh_->stop();
    refreshAfterRelease_ = false;
    const bool open = DMMain && DMMain->Active();
    // Counts and commands see the items the search shows.
    const int shown = ShownCount();
    const bool listed = shown > 0;
    ActFileNew->setEnabled(true);
    ActFileOpen->setEnabled(true);
    ActFileSaveAs->setEnabled(open);
    ActImageAdd->setEnabled(open);
    const std::vector<int> rows = SelectedRows();
    const bool selected = ActImageAdd->isEnabled() && !rows.empty();
    ActImageDelete->setEnabled(selected);
    ActImageRename->setEnabled(selected);
    ActImageSelectAll->setEnabled(open && listed);
    ActImageInvertSelection->setEnabled(open && listed);
    ActViewPreview->setEnabled(open);
    ActImageExtract->setEnabled(selected);
    ActImageExportGif->setEnabled(selected);
    ActImageCopy->setEnabled(selected);
    for (QAction* a : FilterActions())
        a->setEnabled(open);
    ActViewThumbnailSize->setEnabled(open);
    ActViewThumbnailSize->setText(QString::fromStdString(Format("Thumbnail &Size: %dx%d", ImgLstLarge->Width(), ImgLstLarge->Height())));
    ActToolsStatistic->setEnabled(open);
    ActToolsEmpty->setEnabled(open && listed);
    ActToolsPassword->setEnabled(open);
    ActHelpAbout->setEnabled(true);
    MnuPreviewPosition->setEnabled(ActViewPreview->isChecked());
    UpdateZoomControls(open, selected);

    UpdatePreview();

    // The task bar shows the main window's title.
    const std::string title = CurrentFileName.empty() ? std::string("Untitled.gmb") : ExtractFileName(CurrentFileName);
    setWindowTitle(QString::fromStdString(Format("%s - %s", AppTitle.c_str(), title.c_str())));

    if (!rows.empty()) {
        const std::vector<int> before = ShownRows();
        const int position = static_cast<int>(std::lower_bound(before.begin(), before.end(), rows.front()) - before.begin());
        StatusPanel0->setText(QString::fromStdString(Format("%d: %d: %d", position + 1, shown, static_cast<int>(rows.size()))));
    } else {
        StatusPanel0->setText(QString::fromStdString(Format("%d items", shown)));
    }
}
