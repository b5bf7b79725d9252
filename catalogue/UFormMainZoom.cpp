// Thumbnail sizes at hand (steps by key and by Ctrl + wheel, beside the size
// dialog) and the full-window viewer opened on an item of the list.
#include "UFormMain.h"

#include "ImageViewer.h"
#include "UDlgSize.h"
#include "UKvApps.h"
#include "imaging/ImageKinds.h"
#include "imaging/Thumbnail.h"
#include "platform/Exception.h"
#include "platform/IniFile.h"
#include "platform/Stream.h"
#include "store/UDMMain.h"
#include "widgets/ErrorGuard.h"
#include "widgets/EventHook.h"

#include <QAction>
#include <QListWidget>
#include <QMenu>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace {

constexpr int kWheelNotch = 120;

} // namespace

const std::vector<int>& TFormMain::ThumbnailSteps()
{
    static const std::vector<int> steps{32, 48, 64, 96, 128, 192, 256};
    return steps;
}

QSize TFormMain::SteppedThumbnailSize(QSize current, int direction)
{
    const std::vector<int>& steps = ThumbnailSteps();
    const int larger = std::max(current.width(), current.height());
    int to = larger;
    if (direction > 0) {
        const auto next = std::upper_bound(steps.begin(), steps.end(), larger);
        if (next != steps.end())
            to = *next;
    } else {
        const auto next = std::lower_bound(steps.begin(), steps.end(), larger);
        if (next != steps.begin())
            to = *std::prev(next);
    }
    if (to == larger || larger <= 0)
        return current;
    // The larger side takes the step; the other keeps the shape the size
    // dialog may have given.
    const auto side = [&](int s) {
        return s == larger ? to : std::max(TDlgSize::MinWidth, static_cast<int>(std::lround(double(s) * to / larger)));
    };
    return QSize(side(current.width()), side(current.height()));
}

void TFormMain::SetThumbnailSize(int width, int height)
{
    TIniFile ini(IniFileName);
    const std::string section = StripVersion(AppTitle) + " Thumbnail";
    ini.WriteInteger(section, "Width", width);
    ini.WriteInteger(section, "Height", height);
    RefreshList();
}

bool TFormMain::StepThumbnailSize(int direction)
{
    if (!DMMain || !DMMain->Active())
        return false;
    const QSize current(ImgLstLarge->Width(), ImgLstLarge->Height());
    const QSize to = SteppedThumbnailSize(current, direction);
    if (to == current)
        return false;
    SetThumbnailSize(to.width(), to.height());
    return true;
}

void TFormMain::CreateZoomControls()
{
    ActViewThumbnailLarger =
        NewAction("ActViewThumbnailLarger", "&Larger Thumbnails", "Larger|Show the thumbnails one size larger", QKeySequence::ZoomIn);
    ActViewThumbnailLarger->setShortcuts({QKeySequence::ZoomIn, QKeySequence("Ctrl+=")});
    ActViewThumbnailSmaller =
        NewAction("ActViewThumbnailSmaller", "Smalle&r Thumbnails", "Smaller|Show the thumbnails one size smaller", QKeySequence::ZoomOut);
    OnTriggered(ActViewThumbnailLarger, [this] { StepThumbnailSize(+1); });
    OnTriggered(ActViewThumbnailSmaller, [this] { StepThumbnailSize(-1); });
    // Ctrl + wheel over the list steps the thumbnail size instead of
    // scrolling. Fine-grained wheels send parts of a notch: one step per
    // whole notch, at most one per event (each step refills the list).
    new TEventHook(ListView1->viewport(), [this, angle = 0](QEvent* event) mutable {
        if (event->type() != QEvent::Wheel)
            return false;
        auto* wheel = static_cast<QWheelEvent*>(event);
        if (!(wheel->modifiers() & Qt::ControlModifier))
            return false;
        angle += wheel->angleDelta().y();
        if (std::abs(angle) >= kWheelNotch) {
            const int direction = angle > 0 ? +1 : -1;
            angle = 0;
            Guarded([&] { StepThumbnailSize(direction); });
        }
        return true;
    });

    // Enter on the list; a double-click does the same.
    ActViewFullWindow = NewAction("ActViewFullWindow", "&Full Window", "Full Window|View the selected image in a window of its own",
                                  QKeySequence(Qt::Key_Return));
    ActViewFullWindow->setShortcuts({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
    ActViewFullWindow->setShortcutContext(Qt::WidgetShortcut);
    ListView1->addAction(ActViewFullWindow);
    OnTriggered(ActViewFullWindow, [this] { ActViewFullWindowExecute(); });
    connect(ListView1, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
        Guarded([&] {
            ListView1->setCurrentItem(item);
            ActViewFullWindowExecute();
        });
    });

    // After Thumbnail Size; Full Window before Preview.
    const QList<QAction*> view = MnuView->actions();
    const qsizetype size = view.indexOf(ActViewThumbnailSize);
    QAction* afterSize = size + 1 < view.size() ? view[size + 1] : nullptr;
    MnuView->insertAction(afterSize, ActViewThumbnailLarger);
    MnuView->insertAction(afterSize, ActViewThumbnailSmaller);
    MnuView->insertAction(ActViewPreview, ActViewFullWindow);
    PopupMenu1->insertAction(ActViewPreview, ActViewFullWindow);
}

void TFormMain::UpdateZoomControls(bool open, bool selected)
{
    const QSize current(ImgLstLarge->Width(), ImgLstLarge->Height());
    ActViewThumbnailLarger->setEnabled(open && SteppedThumbnailSize(current, +1) != current);
    ActViewThumbnailSmaller->setEnabled(open && SteppedThumbnailSize(current, -1) != current);
    ActViewFullWindow->setEnabled(open && selected);
}

TImageViewer* TFormMain::Viewer() const { return viewer_; }

void TFormMain::ActViewFullWindowExecute()
{
    if (viewer_ || !DMMain || !DMMain->Active())
        return;
    const std::vector<int> selected = SelectedRows();
    if (selected.empty())
        return;
    // The item the keyboard is on, when it is one of the selected; else the
    // first selected, as the preview shows.
    int row = selected.front();
    if (const QListWidgetItem* current = ListView1->currentItem()) {
        const int at = ListView1->row(current);
        if (std::binary_search(selected.begin(), selected.end(), at))
            row = at;
    }
    viewerRows_ = ShownRows();
    std::vector<TViewerItem> items;
    items.reserve(viewerRows_.size());
    for (int r : viewerRows_) {
        TViewerItem& item = items.emplace_back();
        SplitItemCaption(r, item.name, item.kind);
        item.broken = ItemBrokenMessage(r);
    }
    const int start = static_cast<int>(std::lower_bound(viewerRows_.begin(), viewerRows_.end(), row) - viewerRows_.begin());
    const auto read = [](const TViewerItem& item) {
        if (!DMMain || !DMMain->Active() || !DMMain->LocateRecord(item.name, item.kind))
            throw Exception("Record not found");
        return DMMain->CreateImageStream()->TakeBytes();
    };
    viewer_ = new TImageViewer(std::move(items), read, this);
    viewer_->ReadAhead = ViewerReadAhead;
    viewer_->OnClose = [this](int position) { ViewerClosed(position); };
    viewer_->showMaximized();
    viewer_->ShowAt(start);
}

void TFormMain::ViewerClosed(int position)
{
    // Back in the list on the image last viewed.
    const std::vector<int> rows = std::move(viewerRows_);
    viewerRows_.clear();
    viewer_ = nullptr; // it deletes itself later
    if (position < 0 || position >= static_cast<int>(rows.size()) || rows[position] >= ListView1->count())
        return;
    QListWidgetItem* item = ListView1->item(rows[position]);
    ListView1->clearSelection();
    ListView1->setCurrentItem(item);
    item->setSelected(true);
    ListView1->scrollToItem(item);
    activateWindow();
}
