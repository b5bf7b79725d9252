#include "UFormMain.h"

#include "ImagePreview.h"
#include "imaging/Loaders.h"
#include "imaging/Thumbnail.h"
#include "UKvApps.h"
#include "platform/Exception.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "store/UDMMain.h"
#include "widgets/ErrorGuard.h"
#include "widgets/KvReopen.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QMouseEvent>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

TFormMain* FormMain = nullptr;

namespace {

constexpr int kDesignLeft = 195;
constexpr int kDesignTop = 106;
constexpr int kDesignWidth = 404;
constexpr int kDesignHeight = 319;
constexpr int kMinWidth = 300;
constexpr int kMinHeight = 200;
constexpr int kSplitterThickness = 3;

const char* const kWindowSection = " Window";
const char* const kReopenSection = " Reopen";

// Scratch files an earlier preview or export may have left behind.
const char* const kScratchNames[] = {"$temp.bmp", "$temp.ico", "$temp.emf", "$temp.wmf", "$temp.jpg", "Untitled.gmb"};

// Writes to the settings file are never reported: a read-only or missing
// settings directory just means the next start uses the defaults.
template <class F> void IgnoringSettingsErrors(F&& write)
{
    try {
        write();
    } catch (const EIniFileException&) {
    }
}

// A path given relative to the folder the program started in, made absolute:
// it becomes the window's file name and a recent-files entry.
std::string AbsoluteFileName(const std::string& path)
{
    if (path.empty())
        return path;
    return QDir::cleanPath(QFileInfo(QString::fromStdString(path)).absoluteFilePath()).toStdString();
}

} // namespace

TFormMain::TFormMain(QWidget* parent) : QMainWindow(parent)
{
    setObjectName("FormMain");
    setWindowTitle("Kv Glimmerbox 3.2");
    setMinimumSize(kMinWidth, kMinHeight);
    resize(kDesignWidth, kDesignHeight);

    ImgLstLarge = std::make_unique<TImageList>(32, 32);
    ImgLstSmall = std::make_unique<TImageList>(16, 16);
    KvReopen1 = new TKvReopen(this);
    CreateActions();
    CreateClientArea();
    CreateMenusAndToolBar();
    CreateBrowseControls();
    CreateDropControls();
    CreateZoomControls();
    FormCreate();
}

TFormMain::~TFormMain()
{
    if (FormMain == this)
        FormMain = nullptr;
}

std::string TFormMain::SettingsPrefix() const { return StripVersion(AppTitle); }

// ---- construction ------------------------------------------------------------

void TFormMain::CreateClientArea()
{
    Splitter1 = new QSplitter(Qt::Horizontal, this);
    Splitter1->setObjectName("Splitter1");
    Splitter1->setChildrenCollapsible(false);
    Splitter1->setHandleWidth(kSplitterThickness);

    Panel1 = new QWidget(Splitter1);
    Panel1->setObjectName("Panel1");
    auto* listLayout = new QVBoxLayout(Panel1);
    listLayout->setContentsMargins(0, 0, 0, 0);
    ListView1 = new QListWidget(Panel1);
    ListView1->setObjectName("ListView1");
    ListView1->setFrameShape(QFrame::NoFrame);
    ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setViewMode(QListView::IconMode);
    ListView1->setResizeMode(QListView::Adjust);
    ListView1->setMovement(QListView::Static);
    ListView1->setWordWrap(true);
    ListView1->setUniformItemSizes(false);
    listLayout->addWidget(ListView1);
    // Clicks and keys that change the selection refresh counts and preview,
    // once per turn of the event loop however many items changed, and a drag
    // over the list once the mouse lets go, not on every move.
    ListView1->setDragEnabled(false);
    selectionRefresh_ = new QTimer(this);
    selectionRefresh_->setSingleShot(true);
    selectionRefresh_->setInterval(0);
    connect(selectionRefresh_, &QTimer::timeout, this, [this] { SelectionChanged(); });
    connect(ListView1, &QListWidget::itemSelectionChanged, selectionRefresh_, qOverload<>(&QTimer::start));
    ListView1->viewport()->installEventFilter(this);

    PnlPreview = new QFrame(Splitter1);
    PnlPreview->setObjectName("PnlPreview");
    PnlPreview->setFrameShape(QFrame::Panel);
    PnlPreview->setFrameShadow(QFrame::Sunken);
    PnlPreview->setAutoFillBackground(true);
    auto* previewLayout = new QGridLayout(PnlPreview);
    previewLayout->setContentsMargins(1, 1, 1, 1);
    ImgPreview = new TImagePreview(PnlPreview);
    txtName = new QLabel(PnlPreview);
    txtName->setObjectName("txtName");
    txtName->setAttribute(Qt::WA_TranslucentBackground);
    previewLayout->addWidget(ImgPreview, 0, 0);
    previewLayout->addWidget(txtName, 0, 0, Qt::AlignLeft | Qt::AlignBottom);

    Splitter1->addWidget(Panel1);
    Splitter1->addWidget(PnlPreview);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);
    PnlPreview->hide();
    setCentralWidget(Splitter1);

    StatusPanel0 = new QLabel(this);
    StatusPanel0->setObjectName("StatusPanel0");
    StatusPanel0->setFixedWidth(100);
    StatusPanel0->setAlignment(Qt::AlignCenter);
    StatusPanel1 = new QLabel(this);
    StatusPanel1->setObjectName("StatusPanel1");
    statusBar()->setObjectName("StatusBar1");
    statusBar()->addWidget(StatusPanel0);
    statusBar()->addWidget(StatusPanel1, 1);
}

// ---- lifecycle -------------------------------------------------------------------

void TFormMain::FormCreate()
{
    FormMain = this;
    RegisterCatalogueGraphics(); // the picture loader learns metafiles and JPEG
    AppTitle = windowTitle().toStdString();
    KvReopen1->OnReopenMenuClick = [this](QAction* item) { ReopenMenuClick(item); };
    KvReopen1->CommandGuard = [](const std::function<void()>& command) { Guarded(command); };
    // Not the shared temp folder itself: there another user could plant a
    // link at the name the preview writes, and two windows would write
    // over each other's files.
    scratch_ = std::make_unique<TPrivateTempFolder>();
    TempDir = scratch_->Path();
    setAcceptDrops(true);
    SetExceptionHandler([this](const std::string& message) { ApplicationEvents1Exception(message); });
    SetCommandScope([this](const std::function<void()>& body) { RunCommand(body); });
}

void TFormMain::FormShow()
{
    // The list fills its panel, the picture its pane and the list panel the
    // free area: the splitter's layout does all three.
    const TIniFile ini(IniFileName);
    const std::string section = SettingsPrefix() + kWindowSection;

    // The designed position is the frame's, which exists only now.
    const int left = ini.ReadInteger(section, "Left", kDesignLeft);
    const int top = ini.ReadInteger(section, "Top", kDesignTop);
    move(left, top);
    const int w = ini.ReadInteger(section, "Width", width());
    resize(w, height());
    const int h = ini.ReadInteger(section, "Height", height());
    resize(width(), h);

    const int prvSize = ini.ReadInteger(section, "PrvSize", PaneWidth());
    const int prvPos = ini.ReadInteger(section, "PrvPos", 2);
    Splitter1->setHandleWidth(kSplitterThickness);
    if (prvPos == 2 || prvPos == 4) {
        if (prvSize + kSplitterThickness < width()) {
            SetPaneWidth(prvSize);
        } else {
            resize(kMinWidth, height());
            SetPaneWidth(width() / 3);
        }
    } else {
        if (prvSize + kSplitterThickness < height()) {
            SetPaneHeight(prvSize);
        } else {
            resize(width(), kMinHeight);
            SetPaneHeight(height() / 3);
        }
    }
    switch (prvPos) {
    case 1: CheckPreviewPosition(PreviewPosition::Top); break;
    case 2: CheckPreviewPosition(PreviewPosition::Right); break;
    case 3: CheckPreviewPosition(PreviewPosition::Bottom); break;
    default: CheckPreviewPosition(PreviewPosition::Left); break;
    }
    if (ini.ReadBool(section, "PrvShow", false))
        ActViewPreview->trigger();
    if (!ini.ReadBool(section, "VwThumbnail", true))
        ActViewViewAsIcon->trigger();

    KvReopen1->LoadFromIni(IniFileName, SettingsPrefix() + kReopenSection);
    ReadSortSetting();

    Modified = false;
    CurrentFileName.clear();
    ActFileNewExecute();

    if (!CommandLine.empty())
        OpenFile(AbsoluteFileName(CommandLine.front()));
}

bool TFormMain::FormCloseQuery() { return !CheckModified(); }

void TFormMain::FormClose()
{
    CloseTable(); // a bound vault with changes goes back to its file; may raise

    QDir().mkpath(QFileInfo(QString::fromStdString(IniFileName)).absolutePath());
    TIniFile ini(IniFileName);
    const std::string section = SettingsPrefix() + kWindowSection;
    IgnoringSettingsErrors([&] {
        if (!(windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen))) {
            ini.WriteInteger(section, "Left", x());
            ini.WriteInteger(section, "Top", y());
            ini.WriteInteger(section, "Width", width());
            ini.WriteInteger(section, "Height", height());
        }
        const PreviewPosition pos = CheckedPreviewPosition();
        if (pos == PreviewPosition::Left || pos == PreviewPosition::Right) {
            ini.WriteInteger(section, "PrvSize", PaneWidth());
            ini.WriteInteger(section, "PrvPos", pos == PreviewPosition::Right ? 2 : 4);
        } else {
            ini.WriteInteger(section, "PrvSize", PaneHeight());
            ini.WriteInteger(section, "PrvPos", pos == PreviewPosition::Top ? 1 : 3);
        }
        ini.WriteBool(section, "PrvShow", ActViewPreview->isChecked());
        ini.WriteBool(section, "VwThumbnail", ActViewViewAsThumbnail->isChecked());
    });
    IgnoringSettingsErrors([&] { KvReopen1->SaveToIni(IniFileName, SettingsPrefix() + kReopenSection); });

    for (const char* name : kScratchNames) {
        const std::string path = TempDir + name;
        if (FileExists(path))
            DeleteFile(path);
    }
    // The private folder goes with whatever a failed preview left in it.
    if (scratch_ && TempDir == scratch_->Path())
        TempDir.clear();
    scratch_.reset();
}

const std::string& TFormMain::ScratchFolder()
{
    // Made anew when start-up could not make it, or when it is no longer
    // as made (a temp cleaner took it, someone else made one in its place).
    const bool ours = scratch_ && !TempDir.empty() && TempDir == scratch_->Path();
    if (TempDir.empty() || (ours && !scratch_->Intact())) {
        TempDir.clear();
        scratch_ = std::make_unique<TPrivateTempFolder>();
        if (scratch_->Path().empty())
            throw Exception(scratch_->Error());
        TempDir = scratch_->Path();
    }
    return TempDir;
}

void TFormMain::ApplicationEvents1Hint(const QString& hint)
{
    StatusPanel1->setText(hint);
    StatusPanel1->repaint();
}

void TFormMain::ApplicationEvents1Exception(const std::string& message) { ShowErrorBox(message); }

void TFormMain::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (shown_)
        return;
    shown_ = true;
    // Once the window is on the screen: a vault named on the command line
    // then fills the list with the window already painting.
    QTimer::singleShot(0, this, [this] { Guarded([this] { FormShow(); }); });
}

void TFormMain::closeEvent(QCloseEvent* event)
{
    bool mayClose = false;
    Guarded([&] { mayClose = FormCloseQuery(); });
    // A vault still open here could not be written back (its file was
    // replaced): the window stays.
    if (mayClose && (!Guarded([this] { FormClose(); }) || (DMMain && DMMain->CDS.Active())))
        mayClose = false;
    if (mayClose)
        event->accept();
    else
        event->ignore();
}

bool TFormMain::event(QEvent* event)
{
    if (event->type() == QEvent::StatusTip) {
        ApplicationEvents1Hint(static_cast<QStatusTipEvent*>(event)->tip());
        return true;
    }
    return QMainWindow::event(event);
}

bool TFormMain::eventFilter(QObject* watched, QEvent* event)
{
    // The left button only: a right click opens the context menu, which
    // takes the release.
    const auto left = [event] { return static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton; };
    if (watched == ListView1->viewport()) {
        if (event->type() == QEvent::MouseButtonPress && left()) {
            listMouseDown_ = true;
        } else if (event->type() == QEvent::MouseButtonRelease && left()) {
            listMouseDown_ = false;
            if (refreshAfterRelease_)
                selectionRefresh_->start();
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TFormMain::SelectionChanged()
{
    if (listMouseDown_) {
        refreshAfterRelease_ = true;
        return;
    }
    Guarded([this] { UpdateControls(); });
}

// ---- preview pane and views ----------------------------------------------------

int TFormMain::ClientWidth() const { return width(); }

int TFormMain::ClientHeight() const { return height() - (menuBar()->isVisible() ? menuBar()->height() : 0); }

bool TFormMain::PreviewShown() const { return ActViewPreview->isChecked(); }

PreviewPosition TFormMain::CheckedPreviewPosition() const
{
    if (ActViewPreviewTop->isChecked())
        return PreviewPosition::Top;
    if (ActViewPreviewRight->isChecked())
        return PreviewPosition::Right;
    if (ActViewPreviewBottom->isChecked())
        return PreviewPosition::Bottom;
    return PreviewPosition::Left;
}

void TFormMain::CheckPreviewPosition(PreviewPosition position)
{
    switch (position) {
    case PreviewPosition::Top: ActViewPreviewTop->setChecked(true); break;
    case PreviewPosition::Right: ActViewPreviewRight->setChecked(true); break;
    case PreviewPosition::Bottom: ActViewPreviewBottom->setChecked(true); break;
    case PreviewPosition::Left: ActViewPreviewLeft->setChecked(true); break;
    }
}

int TFormMain::PaneWidth() const { return PnlPreview->isVisible() ? PnlPreview->width() : paneSize_.width(); }

int TFormMain::PaneHeight() const { return PnlPreview->isVisible() ? PnlPreview->height() : paneSize_.height(); }

void TFormMain::SetPaneWidth(int w)
{
    paneSize_.setWidth(w);
    if (!PnlPreview->isVisible() || Splitter1->orientation() != Qt::Horizontal)
        return;
    const int total = Splitter1->width();
    const int paneIndex = Splitter1->indexOf(PnlPreview);
    QList<int> sizes{std::max(0, total - Splitter1->handleWidth() - w), w};
    if (paneIndex == 0)
        std::swap(sizes[0], sizes[1]);
    Splitter1->setSizes(sizes);
}

void TFormMain::SetPaneHeight(int h)
{
    paneSize_.setHeight(h);
    if (!PnlPreview->isVisible() || Splitter1->orientation() != Qt::Vertical)
        return;
    const int total = Splitter1->height();
    const int paneIndex = Splitter1->indexOf(PnlPreview);
    QList<int> sizes{std::max(0, total - Splitter1->handleWidth() - h), h};
    if (paneIndex == 0)
        std::swap(sizes[0], sizes[1]);
    Splitter1->setSizes(sizes);
}

void TFormMain::DockPane(PreviewPosition position)
{
    const bool horizontal = position == PreviewPosition::Left || position == PreviewPosition::Right;
    const bool paneFirst = position == PreviewPosition::Left || position == PreviewPosition::Top;
    Splitter1->setOrientation(horizontal ? Qt::Horizontal : Qt::Vertical);
    Splitter1->insertWidget(paneFirst ? 0 : 1, PnlPreview);
    Splitter1->setStretchFactor(Splitter1->indexOf(Panel1), 1);
    Splitter1->setStretchFactor(Splitter1->indexOf(PnlPreview), 0);
    PnlPreview->show();
    if (QLayout* l = layout())
        l->activate();
}

void TFormMain::ArrangePreview()
{
    const PreviewPosition position = CheckedPreviewPosition();
    DockPane(position);
    if (position == PreviewPosition::Left || position == PreviewPosition::Right)
        SetPaneWidth(ClientWidth() / 2);
    else
        SetPaneHeight((ClientHeight() - ToolBar1->height()) / 2);
}

// Runs after the action has flipped its own check (it is checkable).
void TFormMain::ActViewPreviewExecute()
{
    if (ActViewPreview->isChecked()) {
        ArrangePreview();
    } else {
        const int side = std::max(PnlPreview->width(), PnlPreview->height());
        PnlPreview->hide();
        paneSize_ = QSize(side, side);
    }
    UpdateControls();
}

void TFormMain::ActViewViewAsIconExecute()
{
    ActViewViewAsIcon->setChecked(true);
    ListView1->setViewMode(QListView::ListMode);
    ListView1->setFlow(QListView::TopToBottom);
    ListView1->setWrapping(true);
    ApplyItemIcons();
}

void TFormMain::ActViewViewAsThumbnailExecute()
{
    ActViewViewAsThumbnail->setChecked(true);
    ListView1->setViewMode(QListView::IconMode);
    ListView1->setFlow(QListView::LeftToRight);
    ListView1->setWrapping(true);
    ApplyItemIcons();
}
