// The catalogue list of the main window: filling it from the store, the
// window refresh and the status bar.
#include "UFormMain.h"

#include "ImagePreview.h"
#include "UKvApps.h"
#include "platform/Paths.h"
#include "store/UDMMain.h"

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QAction>

namespace {

// Restores the cursor, ends the bulk update and clears the progress text
// however the fill ends.
struct FillCleanup {
    TFormMain* form;
    ~FillCleanup()
    {
        form->ListView1->setUpdatesEnabled(true);
        QApplication::restoreOverrideCursor();
        form->ShowStatus(std::string());
        form->UpdateControls();
    }
};

} // namespace

void TFormMain::ShowStatus(const std::string& text)
{
    StatusPanel1->setText(QString::fromStdString(text));
    StatusPanel1->repaint();
}

void TFormMain::RefreshList()
{
    TVaultTable& cds = DMMain->CDS;
    ShowStatus("Loading images...");
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ListView1->setUpdatesEnabled(false);
    FillCleanup cleanup{this};
    ListView1->clear();
    if (!cds.Active() || cds.RecordCount() == 0)
        return;
    const int64_t total = cds.RecordCount();
    int64_t done = 0;
    for (cds.First(); !cds.Eof(); cds.Next()) {
        ++done;
        ShowStatus(Format("Loading images... (%d%% of %d)", static_cast<int>(done * 100 / total), static_cast<int>(total)));
        const std::string kind = DMMain->CDSImageType.AsString();
        if (kind == "\\")
            continue;
        auto* item = new QListWidgetItem(QString::fromStdString(ItemCaption()));
        ListView1->addItem(item);
    }
}

std::string TFormMain::ItemCaption()
{
    return Format("%s%s (%dx%d)", DMMain->CDSFileName.AsString().c_str(), KindExtension(DMMain->CDSImageType.AsString()).c_str(),
                  DMMain->CDSDimY.AsInteger(), DMMain->CDSDimX.AsInteger());
}

std::string TFormMain::KindExtension(const std::string& kind)
{
    const char letter = kind.empty() ? 'B' : kind[0];
    switch (letter) {
    case 'I': return ".ico";
    case 'E': return ".emf";
    case 'W': return ".wmf";
    case 'J': return ".jpg";
    case 'G': return ".gif";
    default: return ".bmp";
    }
}

void TFormMain::SplitItemCaption(int index, std::string& name, std::string& kind) const
{
    const std::string caption = ListView1->item(index)->text().toStdString();
    const size_t dot = caption.rfind('.');
    if (dot == std::string::npos) {
        name = caption;
        kind.clear();
        return;
    }
    name = caption.substr(0, dot);
    kind = dot + 1 < caption.size() ? std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(caption[dot + 1])))) : std::string();
}

void TFormMain::UpdateControls()
{
    const bool open = DMMain && DMMain->Active();
    ActFileNew->setEnabled(true);
    ActFileOpen->setEnabled(true);
    ActFileSaveAs->setEnabled(open);
    ActViewPreview->setEnabled(open);
    ActToolsPassword->setEnabled(open);
    MnuPreviewPosition->setEnabled(ActViewPreview->isChecked());

    const std::string shown = CurrentFileName.empty() ? std::string("Untitled.gmb") : ExtractFileName(CurrentFileName);
    const QString caption = QString::fromStdString(Format("%s - %s", AppTitle.c_str(), shown.c_str()));
    // The task bar shows the main window's title.
    setWindowTitle(caption);

    const QList<QListWidgetItem*> selected = ListView1->selectedItems();
    if (!selected.isEmpty()) {
        int first = ListView1->count();
        for (QListWidgetItem* item : selected)
            first = std::min(first, ListView1->row(item));
        StatusPanel0->setText(QString::fromStdString(Format("%d: %d: %d", first + 1, ListView1->count(), static_cast<int>(selected.size()))));
    } else {
        StatusPanel0->setText(QString::fromStdString(Format("%d items", ListView1->count())));
    }
}
