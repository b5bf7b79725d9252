#pragma once
// The main window: the catalogue of the open vault, its commands, the
// preview pane and the window's settings.
#include <QKeySequence>
#include <QMainWindow>
#include <QPoint>
#include <QPointer>
#include <QSize>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QAction;
class QActionGroup;
class QFrame;
class QLabel;
class QItemSelection;
class QLineEdit;
class QListWidgetItem;
class QListWidget;
class QMenu;
class QMimeData;
class QSplitter;
class QToolBar;
class QTimer;
class QToolButton;
class TImagePreview;
class TImageViewer;
class TImageList;
class TKvReopen;
class TMemoryBudget;

// What the fill's workers may hold of inflated images at once, shared by
// every window: a job larger than this runs alone.
inline constexpr int64_t kFillMemoryBudget = int64_t(512) << 20;
TMemoryBudget& FillMemoryBudget();
class TPrivateTempFolder;
class TThumbnailCache;

// Names (a file's or an item's) with why each could not be dealt with.
using TNamedFailures = std::vector<std::pair<std::string, std::string>>;

enum class PreviewPosition { Top = 1, Right = 2, Bottom = 3, Left = 4 };
// The list's orders; Name is the store's key order. Values as in the settings file.
enum class SortKey { Name = 0, Kind = 1, StoredSize = 2, Pixels = 3 };

class TFormMain : public QMainWindow {
    Q_OBJECT
public:
    explicit TFormMain(QWidget* parent = nullptr);
    ~TFormMain() override;

    // ---- window lifecycle -------------------------------------------------
    void FormCreate();
    void FormShow();
    bool FormCloseQuery();
    // Returns false when the close must not go on (the write-back failed).
    void FormClose();
    void ApplicationEvents1Hint(const QString& hint);
    void ApplicationEvents1Exception(const std::string& message);

    // Arguments after the program name; the first one is opened at first show.
    std::vector<std::string> CommandLine;

    // When set, every status text is also appended here (for tests).
    std::vector<std::string>* StatusLog = nullptr;
    // How many records the preview has decoded (for tests and benchmarks).
    int PreviewDecodes = 0;
    // How bulk work runs: thumbnails kept in the thumbnail cache, and made
    // and added on worker threads (< 0: one per core; 0: all on the GUI
    // thread). Off and 0 is the plain way, kept for comparison.
    bool UseThumbnailCache = true;
    int WorkerThreads = -1;
    // What the fill's workers may hold of inflated images at once; nullptr
    // is the program's shared budget (FillMemoryBudget).
    TMemoryBudget* FillBudget = nullptr;
    // Whether long commands let the window paint (KeepPainting.h).
    bool KeepWindowPainting = true;
    // How many thumbnails fills have made rather than found in the cache
    // (for tests and benchmarks).
    int ThumbnailsMade = 0;
    // Up to this many items changing, the search shows and hides them one by
    // one; beyond, the view's hidden rows are set afresh (benchmarks compare).
    int SearchOneByOneUpTo = 256;

    std::string CurrentFileName;
    bool Modified = false;
    // The preview's scratch folder, with a trailing separator: a private
    // folder of this window's own, made at creation and removed on close
    // (empty when it could not be made).
    std::string TempDir;

    // ---- vault file commands ---------------------------------------------
    bool CheckModified();
    void ActFileNewExecute();
    // New: false when the unsaved-data question stopped it.
    bool NewVault();
    void ActFileOpenExecute();
    void ActFileSaveAsExecute();
    void OpenFile(const std::string& path);
    void SaveFile(const std::string& path);
    // Dropped local files: see DropItems.
    void WMDropFiles(const std::vector<std::string>& names);
    void ReopenMenuClick(QAction* item);
    bool AskPassword();
    void ActToolsPasswordExecute();
    // Runs one command of the window (every guarded action and event): its
    // changes to the vault are written when it ends. When the vault file was
    // replaced meanwhile, asks where to save them instead.
    void RunCommand(const std::function<void()>& body);
    // The vault file was replaced or removed: Save As (Yes), drop the
    // changes (No) or keep them for now (Cancel).
    void AskWhereToSave(const std::string& message);

    // ---- commands on images ------------------------------------------------
    void ActImageAddExecute();
    // Adds the files in the order given (the Add dialog's list).
    void AddFiles(const std::vector<std::string>& paths);
    void ActImageDeleteExecute();
    void ActImageRenameExecute();
    void ActImageSelectAllExecute();
    void ActImageInvertSelectionExecute();
    void ActImageExtractExecute();
    // Writes each selected record as a GIF file named after it: a GIF as
    // stored, any other picture made into one frame.
    void ActImageExportGifExecute();
    // Puts the first selected record on the clipboard: its picture as a
    // bitmap, and for a GIF record its bytes under "GIF Image" and image/gif.
    void ActImageCopyExecute();
    void ActToolsEmptyExecute();
    void ActFilterExecute();
    std::vector<QAction*> FilterActions() const;
    // The caption up to its last blank: the record name with its extension.
    std::string ItemFileName(int index) const;
    std::vector<int> SelectedRows() const;

    // ---- drag and drop, Add Folder (UFormMainDrop.cpp) -----------------------
    // One dropped item: a local path, or the text of an address that is not
    // a local file.
    struct TDroppedItem {
        std::string path;
        bool local = true;
    };
    // A drop that holds an image file or a folder, or whose first item is a
    // file that is no vault, is added (AddFilesAndFolders; vaults among it
    // are listed as not added). Otherwise its first item is opened as a
    // vault and the rest are ignored.
    void DropItems(const std::vector<TDroppedItem>& items);
    void ActImageAddFolderExecute();
    // Adds the files named and the image files the folders named hold,
    // recursively, as Add adds them; at the end one warning lists what was
    // not added (notAdded first).
    void AddFilesAndFolders(const std::vector<std::string>& paths, TNamedFailures notAdded = {});
    // The selected records written into a new folder of their own under
    // TempDir, offered as file addresses; raises when one cannot be written
    // (its folder then goes at once).
    std::unique_ptr<QMimeData> MakeDragOutData();
    // A drag's files stay this long for the program that took them, then go
    // when the next drag begins; at once when nothing took the drag, and all
    // of them when the window closes.
    int KeepDragFilesSeconds = 600;

    // ---- list and refresh -------------------------------------------------
    void RefreshList();
    void UpdateControls();
    void ShowStatus(const std::string& text);
    // "%s%s (%dx%d)": name, shown extension, height, width of the current record.
    std::string ItemCaption();
    // The item's record: its name (exactly as stored) and kind letter.
    void SplitItemCaption(int index, std::string& name, std::string& kind) const;
    // After a rename: the item's record name and caption.
    void SetItemRecordName(int index, const std::string& name);
    // Why the item's record cannot be shown; empty when it can.
    std::string ItemBrokenMessage(int index) const;
    // Shows the first selected record in the preview pane (shown or not);
    // a record that cannot be shown puts its message there instead.
    void UpdatePreview();

    // ---- search and sort (UFormMainSearch.cpp) ------------------------------
    // An item of the fill: the record's fields the search and the orders use.
    static QListWidgetItem* NewRecordItem(const QString& caption, const std::string& kind, int keyOrder, int64_t storedSize,
                                          int64_t pixels);
    // Shows the items whose record name holds the search text (letter case
    // ignored), hides the others and refreshes the window.
    void ApplySearch();
    bool SearchActive() const;
    // The items shown, in list order.
    std::vector<int> ShownRows() const;
    int ShownCount() const;
    bool ItemShown(int index) const;
    void ActViewSortExecute();
    SortKey CheckedSortKey() const;
    bool SortDescending() const;
    // Puts the items in the checked order.
    void SortList();

    // ---- thumbnail size steps, full-window viewer (UFormMainZoom.cpp) ------------
    // The sizes the steps go through (the thumbnails' larger side).
    static const std::vector<int>& ThumbnailSteps();
    // The size one step up (+1) or down (-1) from current: the larger side
    // goes to the next step, the other keeps the shape. current when no
    // step is left that way.
    static QSize SteppedThumbnailSize(QSize current, int direction);
    // One step: writes the settings as the size dialog does and refills the
    // list. False when there was no step to take.
    bool StepThumbnailSize(int direction);
    // Writes the thumbnail size to the settings file, then refills the list.
    void SetThumbnailSize(int width, int height);
    // Opens the viewer on the selected item (Enter, double-click).
    void ActViewFullWindowExecute();
    // The open viewer, if any.
    TImageViewer* Viewer() const;
    // Whether the viewer decodes the next image ahead (benchmarks compare).
    bool ViewerReadAhead = true;

    // ---- preview pane and views ---------------------------------------------
    void ArrangePreview();
    void ActViewPreviewExecute();
    void ActViewViewAsIconExecute();
    void ActViewViewAsThumbnailExecute();
    void ActViewThumbnailSizeExecute();
    PreviewPosition CheckedPreviewPosition() const;
    void CheckPreviewPosition(PreviewPosition position);
    bool PreviewShown() const;
    int PaneWidth() const;
    int PaneHeight() const;
    int ClientWidth() const;
    int ClientHeight() const;

    // ---- parts of the window (designed names) ---------------------------------
    QWidget* Panel1 = nullptr;
    QListWidget* ListView1 = nullptr;
    QFrame* PnlPreview = nullptr;
    TImagePreview* ImgPreview = nullptr;
    QLabel* txtName = nullptr;
    QSplitter* Splitter1 = nullptr;
    QToolBar* ToolBar1 = nullptr;
    QLabel* StatusPanel0 = nullptr;
    QLabel* StatusPanel1 = nullptr;
    TKvReopen* KvReopen1 = nullptr;
    std::unique_ptr<TImageList> ImgLstLarge;
    std::unique_ptr<TImageList> ImgLstSmall;

    QMenu* MnuFile = nullptr;
    QMenu* MnuReopen = nullptr;
    QMenu* MnuImage = nullptr;
    QMenu* MnuFilter = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QMenu* MnuView = nullptr;
    QMenu* MnuPreviewPosition = nullptr;
    QMenu* MnuTools = nullptr;
    QMenu* MnuHelp = nullptr;
    QMenu* MnuOpenDropDown = nullptr;
    QToolButton* BtnOpen = nullptr;

    QAction* ActFileNew = nullptr;
    QAction* ActFileOpen = nullptr;
    QAction* ActFileSaveAs = nullptr;
    QAction* ActFileExit = nullptr;
    QAction* ActImageAdd = nullptr;
    QAction* ActImageAddFolder = nullptr;
    QAction* ActImageDelete = nullptr;
    QAction* ActImageRename = nullptr;
    QAction* ActImageSelectAll = nullptr;
    QAction* ActImageInvertSelection = nullptr;
    QAction* ActImageExtract = nullptr;
    QAction* ActImageExportGif = nullptr;
    QAction* ActImageCopy = nullptr;
    QAction* ActFilterBMP = nullptr;
    QAction* ActFilterICO = nullptr;
    QAction* ActFilterEMF = nullptr;
    QAction* ActFilterWMF = nullptr;
    QAction* ActFilterJPEG = nullptr;
    QAction* ActFilterGIF = nullptr;
    QAction* ActFilterPNG = nullptr;
    QAction* ActFilterWEBP = nullptr;
    QAction* ActFilterTIFF = nullptr;
    QAction* ActFilterHEIF = nullptr;
    QAction* ActFilterAVIF = nullptr;
    QAction* ActFilterNoFilter = nullptr;
    QAction* ActViewThumbnailSize = nullptr;
    QAction* ActViewThumbnailLarger = nullptr;
    QAction* ActViewThumbnailSmaller = nullptr;
    QAction* ActViewFullWindow = nullptr;
    QAction* ActToolsStatistic = nullptr;
    QAction* ActToolsEmpty = nullptr;
    QAction* ActHelpAbout = nullptr;
    QAction* ActViewViewAsIcon = nullptr;
    QAction* ActViewViewAsThumbnail = nullptr;
    QAction* ActViewPreview = nullptr;
    QAction* ActViewPreviewTop = nullptr;
    QAction* ActViewPreviewRight = nullptr;
    QAction* ActViewPreviewBottom = nullptr;
    QAction* ActViewPreviewLeft = nullptr;
    QAction* ActToolsPassword = nullptr;
    QLineEdit* EdtSearch = nullptr;
    QMenu* MnuSort = nullptr;
    QAction* ActViewSearch = nullptr;
    QAction* ActViewSearchClear = nullptr;
    QAction* ActViewSortByName = nullptr;
    QAction* ActViewSortByKind = nullptr;
    QAction* ActViewSortBySize = nullptr;
    QAction* ActViewSortByPixels = nullptr;
    QAction* ActViewSortDescending = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void CreateActions();
    // An action of the window with its designed name, hint and shortcut.
    QAction* NewAction(const char* name, const QString& caption, const QString& hint, const QKeySequence& key = {});
    // Deletes the items' records in list order; done gets each row whose record went.
    void DeleteRecordsOfRows(const std::vector<int>& rows, std::vector<int>& done);
    void CreateMenusAndToolBar();
    void CreateClientArea();
    void SetPaneWidth(int width);
    void SetPaneHeight(int height);
    void DockPane(PreviewPosition position);
    void CloseTable();
    // Open's steps after New: load, ask for the password, list.
    void LoadVault(const std::string& path);
    std::string SettingsPrefix() const;

    bool shown_ = false;
    std::unique_ptr<TPrivateTempFolder> scratch_;
    // TempDir, made now if it could not be made before.
    const std::string& ScratchFolder();
    // Selection changes wait for this to fire, once per turn of the event loop.
    QTimer* selectionRefresh_ = nullptr;
    bool listMouseDown_ = false;
    bool refreshAfterRelease_ = false;
    void SelectionChanged();
    // Drags out of the list (UFormMainDrop.cpp).
    void CreateDropControls();
    // The list's mouse events: true when taken for a drag out.
    bool ListDragEvent(QEvent* event);
    void StartDragOut();
    void RemoveOldDragFolders();
    bool dragPending_ = false;
    QPoint dragPressAt_;
    int dragCount_ = 0;
    // Each drag's folder with when it began (steady clock, milliseconds).
    std::vector<std::pair<std::string, int64_t>> dragFolders_;
    QSize paneSize_{138, 138}; // the pane's size while it is hidden
    QActionGroup* positionGroup_ = nullptr;
    QActionGroup* viewGroup_ = nullptr;
    QActionGroup* filterGroup_ = nullptr;
    void ApplyItemIcons();
    // Search field, sort actions and their menus (UFormMainSearch.cpp).
    void CreateBrowseControls();
    void ReadSortSetting();
    // After a fill: the checked order and the search, without a refresh.
    void ArrangeFilledList();
    void ShowSearchMatches();
    void EmptyShownExecute();
    // Every item shown, as one selection of ranges.
    QItemSelection ShownSelection() const;
    QActionGroup* sortGroup_ = nullptr;
    // Size steps and the viewer (UFormMainZoom.cpp).
    void CreateZoomControls();
    void UpdateZoomControls(bool open, bool selected);
    void ViewerClosed(int position);
    QPointer<TImageViewer> viewer_;
    // The rows the open viewer steps through, in list order.
    std::vector<int> viewerRows_;
    // The thumbnail size of the settings file, held to the size dialog's ranges (the height up to the largest step).
    QSize ThumbnailSetting() const;
    // Where the open vault's thumbnails are kept: the shared cache, or
    // memory only for an encrypted vault.
    static TThumbnailCache& ThumbnailCacheOfVault();
    void FillList();
    // The records the last fill could not show: item file name, message.
    TNamedFailures fillFailures_;
    // One warning for them all, once the fill has ended.
    void ReportFillFailures();
    // One warning naming the first few: "The <what> "x" cannot be <done>."
    // for one, "%d <what>s cannot be <done>." and a list for several.
    static void ReportFailures(const TNamedFailures& failures, const std::string& what, const std::string& done);
    // Lets the window paint when it is time, if it may.
    void Breathe();
    // False when the replace question was cancelled. With notAdded, a file
    // that cannot be loaded is listed there and the loop goes on.
    bool AddFilesLoop(const std::vector<std::string>& paths, TNamedFailures* notAdded = nullptr);
    // A long loop with the hourglass and text in the status bar, both taken
    // away on every exit before after runs.
    void RunLongLoop(const std::string& text, const std::function<void()>& loop, const std::function<void()>& after = {});
    // "<text> (%d%% of %d)" for item i (from 0) of n.
    void ShowProgress(const std::string& text, size_t i, size_t n);
    // The selected records written out: one to the path the save dialog
    // gives for fileName(row), several into a chosen folder under their
    // fileName(row); with a progress text, as a long loop.
    void WriteSelectedRecords(const std::string& folderTitle, const std::string& progress,
                              const std::function<std::string(int row)>& fileName,
                              const std::function<void(int row, const std::string& path)>& write);
    void ExportRecordAsGif(int row, const std::string& path);
};

extern TFormMain* FormMain;
