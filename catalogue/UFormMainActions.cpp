// The main window's actions with their captions, hints, shortcuts and
// glyphs, and the menu bar, tool bar and context menu that show them.
#include "UFormMain.h"

#include "ActionGlyphs.h"
#include "UDlgAbout.h"
#include "UDlgStatistic.h"
#include "store/UDMMain.h"
#include "widgets/ActionHint.h"
#include "widgets/ErrorGuard.h"
#include "widgets/KvReopen.h"

#include <QAction>
#include <QActionGroup>
#include <QListWidget>
#include <QMenuBar>
#include <QToolBar>
#include <QToolButton>

namespace {

void SetMenuHint(QMenu* menu, const QString& hint)
{
    menu->menuAction()->setStatusTip(hint);
    menu->setStatusTip(hint);
}

} // namespace

QAction* TFormMain::NewAction(const char* name, const QString& caption, const QString& hint, const QKeySequence& key)
{
    auto* a = new QAction(caption, this);
    a->setObjectName(name);
    SetHint(a, hint);
    if (!key.isEmpty())
        a->setShortcut(key);
    return a;
}

void TFormMain::CreateActions()
{
    auto make = [this](const char* name, const QString& caption, const QString& hint, const QKeySequence& key = {}) {
        return NewAction(name, caption, hint, key);
    };
    auto glyph = [](QAction* a, Glyph g) { a->setIcon(GlyphIcon(g)); };

    ActFileNew = make("ActFileNew", "Ne&w", "New|Create new file", QKeySequence("Ctrl+N"));
    ActFileOpen = make("ActFileOpen", "&Open...", "Open|Opens an existing file", QKeySequence("Ctrl+O"));
    ActFileSaveAs = make("ActFileSaveAs", "Save &As...", "Save As|Saves the active file with a new name", QKeySequence("Ctrl+S"));
    ActFileExit = make("ActFileExit", "E&xit", "Exit|Quits the application");
    glyph(ActFileNew, Glyph::New);
    glyph(ActFileOpen, Glyph::Open);
    glyph(ActFileSaveAs, Glyph::SaveAs);
    glyph(ActFileExit, Glyph::Exit);

    ActImageAdd = make("ActImageAdd", "Add...", "Add|Add new images", QKeySequence("Ctrl+Ins"));
    ActImageDelete = make("ActImageDelete", "De&lete", "Delete|Delete selected items", QKeySequence("Ctrl+Del"));
    ActImageRename = make("ActImageRename", "Rena&me", "Rename|Rename selected item", QKeySequence("F2"));
    ActImageSelectAll = make("ActImageSelectAll", "Select &All", "Select All|Select all items", QKeySequence("Ctrl+A"));
    ActImageInvertSelection = make("ActImageInvertSelection", "Invert Selection", "Invert selection|Invert selection", QKeySequence("Ctrl+I"));
    ActImageExtract = make("ActImageExtract", "Extract...", "Extract|Extract selected items as files", QKeySequence("Ctrl+E"));
    glyph(ActImageAdd, Glyph::Add);
    glyph(ActImageDelete, Glyph::Delete);
    glyph(ActImageRename, Glyph::Rename);
    glyph(ActImageSelectAll, Glyph::SelectAll);
    glyph(ActImageExtract, Glyph::Extract);
    ActImageExportGif = make("ActImageExportGif", "Export as GIF...", "Export as GIF|Save the selected images as GIF files");
    ActImageCopy = make("ActImageCopy", "&Copy", "Copy|Copy the selected image to the clipboard", QKeySequence("Ctrl+C"));
    glyph(ActImageCopy, Glyph::Copy);

    ActFilterBMP = make("ActFilterBMP", "BMP", "BMP|Display bitmaps only");
    ActFilterICO = make("ActFilterICO", "ICO", "ICO|Display icons only");
    ActFilterEMF = make("ActFilterEMF", "EMF", "EMF|Display enhanced metafiles only");
    ActFilterWMF = make("ActFilterWMF", "WMF", "WMF|Display metafiles only");
    ActFilterJPEG = make("ActFilterJPEG", "JPEG", "JPEG|Display JPEG only");
    ActFilterGIF = make("ActFilterGIF", "GIF", "GIF|Display GIF only");
    ActFilterPNG = make("ActFilterPNG", "PNG", "PNG|Display PNG only");
    ActFilterWEBP = make("ActFilterWEBP", "WebP", "WebP|Display WebP only");
    ActFilterTIFF = make("ActFilterTIFF", "TIFF", "TIFF|Display TIFF only");
    ActFilterHEIF = make("ActFilterHEIF", "HEIF", "HEIF|Display HEIF only");
    ActFilterAVIF = make("ActFilterAVIF", "AVIF", "AVIF|Display AVIF only");
    ActFilterNoFilter = make("ActFilterNoFilter", "No Filter", "No Filter|Display all supported image types");
    filterGroup_ = new QActionGroup(this);
    for (QAction* a : FilterActions()) {
        a->setCheckable(true);
        filterGroup_->addAction(a);
        OnTriggered(a, [this] { ActFilterExecute(); });
    }
    ActFilterNoFilter->setChecked(true);

    ActViewViewAsIcon = make("ActViewViewAsIcon", "View as &Icons", "Icons|View images list as icons");
    ActViewViewAsThumbnail = make("ActViewViewAsThumbnail", "View as &Thumbnails", "Thumbnails|View images list as thumbnails");
    glyph(ActViewViewAsIcon, Glyph::ViewIcons);
    glyph(ActViewViewAsThumbnail, Glyph::ViewThumbnails);
    viewGroup_ = new QActionGroup(this);
    for (QAction* a : {ActViewViewAsIcon, ActViewViewAsThumbnail}) {
        a->setCheckable(true);
        viewGroup_->addAction(a);
    }
    ActViewViewAsThumbnail->setChecked(true);
    ActViewThumbnailSize = make("ActViewThumbnailSize", "Thumbnail &Size", "Size|Change thumbnail display size");
    glyph(ActViewThumbnailSize, Glyph::ThumbnailSize);

    // Checkable: the action flips its own check before its handler runs.
    ActViewPreview = make("ActViewPreview", "Preview", "Preview|Show or hide preview selected image", QKeySequence("Ctrl+V"));
    ActViewPreview->setCheckable(true);
    glyph(ActViewPreview, Glyph::Preview);

    ActViewPreviewTop = make("ActViewPreviewTop", "Top", {});
    ActViewPreviewRight = make("ActViewPreviewRight", "Right", {});
    ActViewPreviewBottom = make("ActViewPreviewBottom", "Bottom", {});
    ActViewPreviewLeft = make("ActViewPreviewLeft", "Left", {});
    positionGroup_ = new QActionGroup(this);
    for (QAction* a : {ActViewPreviewTop, ActViewPreviewRight, ActViewPreviewBottom, ActViewPreviewLeft}) {
        a->setCheckable(true);
        positionGroup_->addAction(a);
        OnTriggered(a, [this] { ArrangePreview(); });
    }
    ActViewPreviewRight->setChecked(true);

    ActToolsStatistic = make("ActToolsStatistic", "Statistic", "Statistic|Show database statistic");
    ActToolsEmpty = make("ActToolsEmpty", "Empty", "Empty|Delete all images with filter affected");
    ActToolsPassword = make("ActToolsPassword", "Pass&word", "Password|Set, change or remove the vault password");
    ActHelpAbout = make("ActHelpAbout", "About", "About|About this application");
    glyph(ActToolsStatistic, Glyph::Statistic);
    glyph(ActToolsEmpty, Glyph::Empty);
    glyph(ActToolsPassword, Glyph::Password);
    glyph(ActHelpAbout, Glyph::About);

    OnTriggered(ActFileNew, [this] { ActFileNewExecute(); });
    OnTriggered(ActFileOpen, [this] { ActFileOpenExecute(); });
    OnTriggered(ActFileSaveAs, [this] { ActFileSaveAsExecute(); });
    OnTriggered(ActFileExit, [this] { close(); });
    OnTriggered(ActImageAdd, [this] { ActImageAddExecute(); });
    OnTriggered(ActImageDelete, [this] { ActImageDeleteExecute(); });
    OnTriggered(ActImageRename, [this] { ActImageRenameExecute(); });
    OnTriggered(ActImageSelectAll, [this] { ActImageSelectAllExecute(); });
    OnTriggered(ActImageInvertSelection, [this] { ActImageInvertSelectionExecute(); });
    OnTriggered(ActImageExtract, [this] { ActImageExtractExecute(); });
    OnTriggered(ActImageExportGif, [this] { ActImageExportGifExecute(); });
    OnTriggered(ActImageCopy, [this] { ActImageCopyExecute(); });
    OnTriggered(ActViewViewAsIcon, [this] { ActViewViewAsIconExecute(); });
    OnTriggered(ActViewViewAsThumbnail, [this] { ActViewViewAsThumbnailExecute(); });
    OnTriggered(ActViewPreview, [this] { ActViewPreviewExecute(); });
    OnTriggered(ActToolsEmpty, [this] { ActToolsEmptyExecute(); });
    OnTriggered(ActToolsPassword, [this] { ActToolsPasswordExecute(); });

    OnTriggered(ActViewThumbnailSize, [this] { ActViewThumbnailSizeExecute(); });
    OnTriggered(ActToolsStatistic, [] { ShowStatisticDialog(*DMMain); });
    OnTriggered(ActHelpAbout, [] { ShowAbout(); });
}

std::vector<QAction*> TFormMain::FilterActions() const
{
    return {ActFilterBMP, ActFilterICO, ActFilterEMF,  ActFilterWMF,  ActFilterJPEG, ActFilterGIF,
            ActFilterPNG, ActFilterWEBP, ActFilterTIFF, ActFilterHEIF, ActFilterAVIF, ActFilterNoFilter};
}

void TFormMain::CreateMenusAndToolBar()
{
    MnuFile = menuBar()->addMenu("&File");
    MnuFile->addAction(ActFileNew);
    MnuFile->addAction(ActFileOpen);
    MnuReopen = MnuFile->addMenu("&Reopen");
    MnuReopen->setObjectName("MnuReopen");
    MnuFile->addAction(ActFileSaveAs);
    MnuFile->addSeparator();
    MnuFile->addAction(ActFileExit);

    MnuImage = menuBar()->addMenu("&Image");
    MnuImage->addAction(ActImageAdd);
    MnuImage->addAction(ActImageDelete);
    MnuImage->addAction(ActImageRename);
    MnuImage->addSeparator();
    MnuImage->addAction(ActImageSelectAll);
    MnuImage->addAction(ActImageInvertSelection);
    MnuImage->addSeparator();
    MnuImage->addAction(ActImageExtract);
    MnuImage->addAction(ActImageExportGif);
    MnuImage->addAction(ActImageCopy);
    MnuImage->addSeparator();
    MnuFilter = MnuImage->addMenu("&Filter");
    MnuFilter->setObjectName("MnuFilter");
    SetMenuHint(MnuFilter, "Data filter");
    for (QAction* a : FilterActions()) {
        if (a == ActFilterNoFilter)
            MnuFilter->addSeparator();
        MnuFilter->addAction(a);
    }

    MnuView = menuBar()->addMenu("&View");
    MnuView->addAction(ActViewViewAsIcon);
    MnuView->addAction(ActViewViewAsThumbnail);
    MnuView->addSeparator();
    MnuView->addAction(ActViewThumbnailSize);
    MnuView->addSeparator();
    MnuView->addAction(ActViewPreview);
    MnuPreviewPosition = MnuView->addMenu("Preview Position");
    MnuPreviewPosition->setObjectName("MnuPreviewPosition");
    for (QAction* a : {ActViewPreviewTop, ActViewPreviewRight, ActViewPreviewBottom, ActViewPreviewLeft})
        MnuPreviewPosition->addAction(a);

    MnuTools = menuBar()->addMenu("&Tools");
    SetMenuHint(MnuTools, "Tools commands");
    MnuTools->addAction(ActToolsStatistic);
    MnuTools->addAction(ActToolsEmpty);
    MnuTools->addSeparator();
    MnuTools->addAction(ActToolsPassword);

    MnuHelp = menuBar()->addMenu("&Help");
    SetMenuHint(MnuHelp, "Help related commands");
    MnuHelp->addAction(ActHelpAbout);

    ToolBar1 = addToolBar("ToolBar1");
    ToolBar1->setObjectName("ToolBar1");
    ToolBar1->setMovable(false);
    ToolBar1->setIconSize(QSize(16, 16));
    ToolBar1->addAction(ActFileNew);
    MnuOpenDropDown = new QMenu(this);
    BtnOpen = new QToolButton(ToolBar1);
    BtnOpen->setDefaultAction(ActFileOpen);
    BtnOpen->setMenu(MnuOpenDropDown);
    BtnOpen->setPopupMode(QToolButton::MenuButtonPopup);
    BtnOpen->setAutoRaise(true);
    ToolBar1->addWidget(BtnOpen);
    ToolBar1->addAction(ActFileSaveAs);
    ToolBar1->addSeparator();
    ToolBar1->addAction(ActImageAdd);
    ToolBar1->addAction(ActImageDelete);
    ToolBar1->addAction(ActImageRename);
    ToolBar1->addSeparator();
    ToolBar1->addAction(ActImageExtract);
    ToolBar1->addSeparator();
    ToolBar1->addAction(ActViewViewAsIcon);
    ToolBar1->addAction(ActViewViewAsThumbnail);
    ToolBar1->addSeparator();
    ToolBar1->addAction(ActViewPreview);
    ToolBar1->addSeparator();
    ToolBar1->addAction(ActHelpAbout);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    PopupMenu1->addAction(ActImageDelete);
    PopupMenu1->addAction(ActImageRename);
    PopupMenu1->addSeparator();
    PopupMenu1->addAction(ActViewPreview);
    PopupMenu1->addAction(ActImageExtract);
    PopupMenu1->addAction(ActImageExportGif);
    PopupMenu1->addAction(ActImageCopy);
    PopupMenu1->setDefaultAction(ActViewPreview);
    ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ListView1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { PopupMenu1->popup(ListView1->viewport()->mapToGlobal(pos)); });

    KvReopen1->SetReopenMenu(MnuReopen);
    KvReopen1->SetDropDownMenu(MnuOpenDropDown);
}
