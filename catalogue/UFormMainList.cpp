// The catalogue list of the main window: filling it from the store, the
// kind filter, the window refresh and the status bar.
#include "UFormMain.h"

#include "imaging/ImageKinds.h"
#include "ImagePreview.h"
#include "imaging/Thumbnail.h"
#include "UDlgSize.h"
#include "UKvApps.h"
#include "platform/Cleanup.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "store/UDMMain.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QTimer>
#include <algorithm>

namespace {

constexpr int kImageIndexRole = Qt::UserRole + 1;

} // namespace

void TFormMain::ShowStatus(const std::string& text)
{
    if (StatusLog)
        StatusLog->push_back(text);
    StatusPanel1->setText(QString::fromStdString(text));
    StatusPanel1->repaint();
}

void TFormMain::RefreshList()
{
    const TIniFile ini(IniFileName);
    const std::string section = StripVersion(AppTitle) + " Thumbnail";
    // Held to the size dialog's ranges: a hand-edited file must not break every fill.
    const int w = std::clamp(ini.ReadInteger(section, "Width", ImgLstLarge->Width()), TDlgSize::MinWidth, TDlgSize::MaxWidth);
    const int h = std::clamp(ini.ReadInteger(section, "Height", ImgLstLarge->Height()), TDlgSize::MinHeight, TDlgSize::MaxHeight);
    ImgLstLarge->SetSize(w, h);

    ShowStatus("Loading images...");
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ListView1->setUpdatesEnabled(false);
    WithCleanup([this] { FillList(); },
                [this] {
                    ApplyItemIcons();
                    ListView1->setUpdatesEnabled(true);
                    QApplication::restoreOverrideCursor();
                    ShowStatus(std::string());
                    UpdateControls();
                });
}

void TFormMain::FillList()
{
    ImgLstLarge->Clear();
    ImgLstSmall->Clear();
    ListView1->clear();

    TVaultTable& cds = DMMain->CDS;
    if (!cds.Active() || cds.RecordCount() == 0)
        return;
    const int64_t total = cds.RecordCount();
    int64_t done = 0;
    for (cds.First(); !cds.Eof(); cds.Next()) {
        ++done;
        ShowStatus(Format("Loading images... (%d%% of %d)", static_cast<int>(done * 100 / total), static_cast<int>(total)));
        const std::string kind = DMMain->CDSImageType.AsString();
        if (!kind.empty() && kind[0] == PasswordKind)
            continue;
        const std::string caption = ItemCaption();
        try {
            AddRecordThumbnail(*DMMain, *ImgLstLarge, *ImgLstSmall);
        } catch (const std::exception& e) {
            // The decoder's own message first; then which record it was, since
            // a bare "Error" from a damaged blob would not say.
            throw Exception(Format("%s\r\rThe image \"%s\" cannot be shown.", e.what(),
                                   caption.substr(0, caption.rfind(' ')).c_str()));
        }
        auto* item = new QListWidgetItem(QString::fromStdString(caption));
        item->setData(kImageIndexRole, ImgLstLarge->Count() - 1);
        ListView1->addItem(item);
    }
}

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
    }
}

std::string TFormMain::ItemCaption()
{
    return Format("%s%s (%dx%d)", DMMain->CDSFileName.AsString().c_str(), KindOf(DMMain->CDSImageType.AsString()).ShownExtension.c_str(),
                  DMMain->CDSDimY.AsInteger(), DMMain->CDSDimX.AsInteger());
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
    kind = dot + 1 < caption.size() ? std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(caption[dot + 1]))))
                                    : std::string();
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
        if (ListView1->item(i)->isSelected())
            rows.push_back(i);
    return rows;
}

void TFormMain::ActViewThumbnailSizeExecute()
{
    int w = ImgLstLarge->Width();
    int h = ImgLstLarge->Height();
    if (!ExecuteSizeDialog(w, h))
        return;
    TIniFile ini(IniFileName);
    const std::string section = StripVersion(AppTitle) + " Thumbnail";
    ini.WriteInteger(section, "Width", w);
    ini.WriteInteger(section, "Height", h);
    RefreshList();
}

void TFormMain::ActFilterExecute()
{
    TVaultTable& cds = DMMain->CDS;
    cds.SetFiltered(false);
    cds.SetFilter(std::string());
    const std::vector<QAction*> kinds = {ActFilterBMP, ActFilterICO, ActFilterEMF, ActFilterWMF, ActFilterJPEG, ActFilterGIF};
    const char letters[] = {'B', 'I', 'E', 'W', 'J', 'G'};
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
    const bool listed = ListView1->count() > 0;
    ActFileNew->setEnabled(true);
    ActFileOpen->setEnabled(true);
    ActFileSaveAs->setEnabled(open);
    ActImageAdd->setEnabled(open);
    const bool selected = ActImageAdd->isEnabled() && !ListView1->selectedItems().isEmpty();
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

    UpdatePreview();

    // The task bar shows the main window's title.
    const std::string shown = CurrentFileName.empty() ? std::string("Untitled.gmb") : ExtractFileName(CurrentFileName);
    setWindowTitle(QString::fromStdString(Format("%s - %s", AppTitle.c_str(), shown.c_str())));

    const std::vector<int> rows = SelectedRows();
    if (!rows.empty())
        StatusPanel0->setText(QString::fromStdString(
            Format("%d: %d: %d", rows.front() + 1, ListView1->count(), static_cast<int>(rows.size()))));
    else
        StatusPanel0->setText(QString::fromStdString(Format("%d items", ListView1->count())));
}
