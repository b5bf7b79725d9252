#pragma once
// The full-window viewer: one image of the list at a time, as large as the
// screen allows, stepping through the images the list shows in its order.
// The next image is decoded ahead on a worker, so that stepping on finds it
// ready.
#include "imaging/ShownPicture.h"
#include "platform/WorkerPool.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class TImagePreview;

// One image the viewer steps through, as the list holds it.
struct TViewerItem {
    std::string name;   // the record's name and kind letter
    std::string kind;
    std::string broken; // why the record cannot be shown; empty when it can
};

class TImageViewer : public QWidget {
    Q_OBJECT
public:
    // Reads the stored bytes of an item's record (on the GUI thread);
    // raises when it cannot.
    using TReader = std::function<std::vector<uint8_t>(const TViewerItem&)>;

    // The items in the order the list shows them; ShowAt shows the first.
    TImageViewer(std::vector<TViewerItem> items, TReader read, QWidget* parent = nullptr);
    ~TImageViewer() override;

    int Position() const { return position_; }
    int Count() const { return static_cast<int>(items_.size()); }
    // Steps; at either end the viewer stays where it is.
    void ShowAt(int position);
    void Next() { Step(+1); }
    void Previous() { Step(-1); }
    void ToggleFullScreen();

    // The caption: the image's name and "n / N".
    QString Caption() const;
    TImagePreview* Picture = nullptr;
    QLabel* CaptionLabel = nullptr;

    // Whether the image after the shown one (in the direction of travel) is
    // decoded ahead on the worker; off decodes each on demand (benchmarks
    // compare).
    bool ReadAhead = true;
    // How many images were decoded (for tests and benchmarks).
    int Decodes = 0;
    // Called once when the viewer closes, with the position last shown.
    std::function<void(int position)> OnClose;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct TDecoded {
        TShownPicture picture;
        std::string error;
    };
    struct TEntry {
        std::shared_ptr<TDecoded> decoded;
        TWorkerPool::TTicket job;
    };

    void Step(int direction);
    // Reads the item's bytes and starts its decode (on the worker, or here).
    TEntry& Start(int position, bool here);
    // The space pictures are decoded for: the screen the viewer is on.
    QSize Area() const;

    std::vector<TViewerItem> items_;
    TReader read_;
    int position_ = -1;
    int direction_ = +1;
    std::map<int, TEntry> decoded_;
    TWorkerPool pool_{1};
    bool closed_ = false;
};
