// Finding images in a long list: the search field, which hides the items
// whose name does not hold its text, and the list's orders. Both work on
// the items the fill made; neither reads an image's bytes or refills.
#include "UFormMain.h"

#include "ListRoles.h"
#include "UKvApps.h"
#include "platform/Cleanup.h"
#include "platform/IniFile.h"
#include "platform/Text.h"
#include "store/UDMMain.h"
#include "widgets/ErrorGuard.h"
#include "widgets/Prompts.h"
#include "widgets/WaitCursor.h"

#include <QAction>
#include <QActionGroup>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QSignalBlocker>
#include <QToolBar>
#include <algorithm>

namespace {

constexpr const char* kSortSection = " Window";

// The order the list is sorted by; read by the items' comparison.
SortKey g_sortKey = SortKey::Name;
bool g_sortDescending = false;

template <typename T> int Compare(const T& a, const T& b) { return a < b ? -1 : (b < a ? 1 : 0); }

// An item of the fill with what the search and the orders look at.
class TRecordItem : public QListWidgetItem {
public:
    static constexpr int ItemType = QListWidgetItem::UserType + 1;

    TRecordItem(const QString& caption, char kind, int keyOrder, int64_t storedSize, int64_t pixels)
        : QListWidgetItem(caption, nullptr, ItemType), kind_(kind), keyOrder_(keyOrder), storedSize_(storedSize), pixels_(pixels)
    {
    }

    // Kept up to date with the record name (a rename sets it again).
    void setData(int role, const QVariant& value) override
    {
        QListWidgetItem::setData(role, value);
        if (role == kRecordNameRole)
            foldedName_ = QString::fromUtf8(value.toByteArray()).toCaseFolded();
    }

    bool operator<(const QListWidgetItem& other) const override
    {
        if (other.type() != ItemType)
            return QListWidgetItem::operator<(other);
        const auto& o = static_cast<const TRecordItem&>(other);
        int c = 0;
        switch (g_sortKey) {
        case SortKey::Name: break;
        case SortKey::Kind: c = Compare(kind_, o.kind_); break;
        case SortKey::StoredSize: c = Compare(storedSize_, o.storedSize_); break;
        case SortKey::Pixels: c = Compare(pixels_, o.pixels_); break;
        }
        // Equal keys stay in name order; by name, the key order itself turns.
        if (c == 0 && g_sortKey != SortKey::Name)
            return keyOrder_ < o.keyOrder_;
        if (c == 0)
            c = Compare(keyOrder_, o.keyOrder_);
        return g_sortDescending ? c > 0 : c < 0;
    }

    const QString& FoldedName() const { return foldedName_; }
    bool shown = true;

private:
    char kind_;
    int keyOrder_;
    int64_t storedSize_;
    int64_t pixels_;
    QString foldedName_;
};

TRecordItem* RecordItem(QListWidgetItem* item) { return item && item->type() == TRecordItem::ItemType ? static_cast<TRecordItem*>(item) : nullptr; }

// An item made without its record: its name read back from the caption.
QString FoldedNameOfCaption(const QListWidgetItem& item)
{
    const QString caption = item.text();
    const qsizetype dot = caption.lastIndexOf('.');
    return (dot < 0 ? caption : caption.left(dot)).toCaseFolded();
}

} // namespace

QListWidgetItem* TFormMain::NewRecordItem(const QString& caption, const std::string& kind, int keyOrder, int64_t storedSize,
                                          int64_t pixels)
{
    return new TRecordItem(caption, kind.empty() ? '\0' : kind.front(), keyOrder, storedSize, pixels);
}

void TFormMain::CreateBrowseControls()
{
    auto make = [this](const char* name, const QString& caption, const QString& hint, const QKeySequence& key = {}) {
        return NewAction(name, caption, hint, key);
    };

    EdtSearch = new QLineEdit(ToolBar1);
    EdtSearch->setObjectName("EdtSearch");
    EdtSearch->setPlaceholderText("Search");
    EdtSearch->setClearButtonEnabled(true);
    EdtSearch->setToolTip("Search");
    EdtSearch->setStatusTip("Show only images whose name holds the text");
    EdtSearch->setMaximumWidth(180);
    ToolBar1->addSeparator();
    ToolBar1->addWidget(EdtSearch);
    connect(EdtSearch, &QLineEdit::textChanged, this, [this] { ApplySearch(); });

    ActViewSearch = make("ActViewSearch", "&Search", "Search|Find images by name", QKeySequence::Find);
    OnTriggered(ActViewSearch, [this] {
        EdtSearch->setFocus(Qt::ShortcutFocusReason);
        EdtSearch->selectAll();
    });
    ActViewSearchClear = make("ActViewSearchClear", "Clear Search", "Clear Search|Show all images again", QKeySequence(Qt::Key_Escape));
    ActViewSearchClear->setShortcutContext(Qt::WidgetShortcut);
    EdtSearch->addAction(ActViewSearchClear);
    OnTriggered(ActViewSearchClear, [this] { EdtSearch->clear(); });

    ActViewSortByName = make("ActViewSortByName", "By &Name", "Name|Sort images by name");
    ActViewSortByKind = make("ActViewSortByKind", "By &Kind", "Kind|Sort images by kind, then by name");
    ActViewSortBySize = make("ActViewSortBySize", "By Stored Si&ze", "Stored size|Sort images by the size they take in the vault");
    ActViewSortByPixels = make("ActViewSortByPixels", "By &Pixel Count", "Pixel count|Sort images by width times height");
    sortGroup_ = new QActionGroup(this);
    for (QAction* a : {ActViewSortByName, ActViewSortByKind, ActViewSortBySize, ActViewSortByPixels}) {
        a->setCheckable(true);
        sortGroup_->addAction(a);
        OnTriggered(a, [this] { ActViewSortExecute(); });
    }
    ActViewSortByName->setChecked(true);
    ActViewSortDescending = make("ActViewSortDescending", "&Descending", "Descending|Sort images in descending order");
    ActViewSortDescending->setCheckable(true);
    OnTriggered(ActViewSortDescending, [this] { ActViewSortExecute(); });

    // After Thumbnail Size: Search and the Sort submenu, then the Part's preview entries.
    QAction* before = ActViewPreview;
    MnuView->insertAction(before, ActViewSearch);
    MnuSort = new QMenu("S&ort", MnuView);
    MnuSort->setObjectName("MnuSort");
    MnuSort->menuAction()->setStatusTip("Order of the images list");
    MnuSort->setStatusTip("Order of the images list");
    for (QAction* a : {ActViewSortByName, ActViewSortByKind, ActViewSortBySize, ActViewSortByPixels})
        MnuSort->addAction(a);
    MnuSort->addSeparator();
    MnuSort->addAction(ActViewSortDescending);
    MnuView->insertMenu(before, MnuSort);
    MnuView->insertSeparator(before);
}

// ---- search ------------------------------------------------------------------

bool TFormMain::SearchActive() const { return EdtSearch && !EdtSearch->text().isEmpty(); }

bool TFormMain::ItemShown(int index) const
{
    QListWidgetItem* item = ListView1->item(index);
    // The item's own flag: the view's hidden test is slow with many hidden rows.
    if (const TRecordItem* record = RecordItem(item))
        return record->shown;
    return !item->isHidden();
}

std::vector<int> TFormMain::ShownRows() const
{
    std::vector<int> rows;
    for (int i = 0; i < ListView1->count(); ++i)
        if (ItemShown(i))
            rows.push_back(i);
    return rows;
}

int TFormMain::ShownCount() const
{
    int n = 0;
    for (int i = 0; i < ListView1->count(); ++i)
        n += ItemShown(i) ? 1 : 0;
    return n;
}

QItemSelection TFormMain::ShownSelection() const
{
    QItemSelection selection;
    const QAbstractItemModel* model = ListView1->model();
    for (int i = 0; i < ListView1->count();) {
        if (!ItemShown(i)) {
            ++i;
            continue;
        }
        int last = i;
        while (last + 1 < ListView1->count() && ItemShown(last + 1))
            ++last;
        selection.select(model->index(i, 0), model->index(last, 0));
        i = last + 1;
    }
    return selection;
}

void TFormMain::ShowSearchMatches()
{
    const QString needle = EdtSearch ? EdtSearch->text().toCaseFolded() : QString();
    const int n = ListView1->count();
    std::vector<char> show(static_cast<size_t>(n));
    int changes = 0;
    for (int i = 0; i < n; ++i) {
        QListWidgetItem* item = ListView1->item(i);
        const TRecordItem* record = RecordItem(item);
        show[i] = needle.isEmpty() || (record ? record->FoldedName() : FoldedNameOfCaption(*item)).contains(needle);
        changes += ItemShown(i) != static_cast<bool>(show[i]) ? 1 : 0;
    }
    if (changes == 0)
        return;
    const QSignalBlocker quiet(ListView1);
    const bool updates = ListView1->updatesEnabled();
    ListView1->setUpdatesEnabled(false);
    const auto mark = [&](int i) {
        if (TRecordItem* record = RecordItem(ListView1->item(i)))
            record->shown = show[i];
    };
    if (changes <= SearchOneByOneUpTo) {
        for (int i = 0; i < n; ++i) {
            if (ItemShown(i) == static_cast<bool>(show[i]))
                continue;
            // A hidden item is never part of what the commands act on.
            if (!show[i])
                ListView1->item(i)->setSelected(false);
            ListView1->setRowHidden(i, !show[i]);
            mark(i);
        }
    } else {
        // The view keeps its hidden rows in a plain list, slow to edit one
        // by one at thousands of rows: it starts afresh (forgetting the
        // selection and current item, put back after) and is told only the
        // rows to hide.
        QListWidgetItem* current = ListView1->currentItem();
        QItemSelection kept;
        for (const QModelIndex& index : ListView1->selectionModel()->selectedIndexes())
            if (show[index.row()])
                kept.select(index, index);
        ListView1->reset();
        for (int i = 0; i < n; ++i) {
            if (!show[i])
                ListView1->setRowHidden(i, true);
            mark(i);
        }
        if (current && show[ListView1->row(current)])
            ListView1->selectionModel()->setCurrentIndex(ListView1->indexFromItem(current), QItemSelectionModel::NoUpdate);
        ListView1->selectionModel()->select(kept, QItemSelectionModel::Select);
    }
    ListView1->setUpdatesEnabled(updates);
}

void TFormMain::ApplySearch()
{
    ShowSearchMatches();
    UpdateControls();
}

void TFormMain::ArrangeFilledList()
{
    if (!sortGroup_)
        return;
    if (CheckedSortKey() != SortKey::Name || SortDescending())
        SortList();
    ShowSearchMatches();
}

// With a search on, Empty deletes the records shown and keeps what the search
// hides (the kind filter has already narrowed what is listed).
void TFormMain::EmptyShownExecute()
{
    const std::vector<int> rows = ShownRows();
    if (rows.empty())
        return;
    if (!AskYesNo("Warning",
                  Format("You are about to delete the %d images shown.\rImages the search hides are kept.\r\rContinue deleting?",
                         static_cast<int>(rows.size())),
                  MsgIcon::Warning))
        return;
    std::vector<int> done;
    WithCleanup([&] { WithWaitCursor([&] { DeleteRecordsOfRows(rows, done); }); }, [&] { RefreshList(); });
}

// ---- sort ----------------------------------------------------------------------

SortKey TFormMain::CheckedSortKey() const
{
    if (ActViewSortByKind->isChecked())
        return SortKey::Kind;
    if (ActViewSortBySize->isChecked())
        return SortKey::StoredSize;
    if (ActViewSortByPixels->isChecked())
        return SortKey::Pixels;
    return SortKey::Name;
}

bool TFormMain::SortDescending() const { return ActViewSortDescending->isChecked(); }

void TFormMain::SortList()
{
    g_sortKey = CheckedSortKey();
    g_sortDescending = SortDescending();
    const QSignalBlocker quiet(ListView1);
    ListView1->sortItems(Qt::AscendingOrder);
}

void TFormMain::ReadSortSetting()
{
    const TIniFile ini(IniFileName);
    const std::string section = SettingsPrefix() + kSortSection;
    switch (ini.ReadInteger(section, "SortBy", 0)) {
    case 1: ActViewSortByKind->setChecked(true); break;
    case 2: ActViewSortBySize->setChecked(true); break;
    case 3: ActViewSortByPixels->setChecked(true); break;
    default: ActViewSortByName->setChecked(true); break;
    }
    ActViewSortDescending->setChecked(ini.ReadBool(section, "SortDesc", false));
}

void TFormMain::ActViewSortExecute()
{
    TIniFile ini(IniFileName);
    const std::string section = SettingsPrefix() + kSortSection;
    ini.WriteInteger(section, "SortBy", static_cast<int>(CheckedSortKey()));
    ini.WriteBool(section, "SortDesc", SortDescending());
    SortList();
    if (QListWidgetItem* current = ListView1->currentItem())
        ListView1->scrollToItem(current);
    UpdateControls();
}
