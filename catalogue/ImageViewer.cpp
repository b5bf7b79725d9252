#include "ImageViewer.h"

#include "ImagePreview.h"
#include "imaging/ImageKinds.h"
#include "platform/Exception.h"
#include "platform/Text.h"
#include "widgets/ErrorGuard.h"
#include "widgets/Prompts.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QWheelEvent>
#include <cmath>

namespace {

// One key or wheel notch zooms by this much.
constexpr double kZoomStep = 1.25;
constexpr int kWheelNotch = 120;

std::string ShownName(const TViewerItem& item) { return item.name + ShownExtensionOf(item.kind); }

} // namespace

TImageViewer::TImageViewer(std::vector<TViewerItem> items, TReader read, QWidget* parent)
    : QWidget(parent, Qt::Window), items_(std::move(items)), read_(std::move(read))
{
    setObjectName("FormViewer");
    setAttribute(Qt::WA_DeleteOnClose);
    // The list stays as it is while an image of it is viewed.
    setWindowModality(Qt::ApplicationModal);
    setFocusPolicy(Qt::StrongFocus);
    QPalette dark = palette();
    dark.setColor(QPalette::Window, Qt::black);
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    setPalette(dark);
    setAutoFillBackground(true);

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    Picture = new TImagePreview(this);
    Picture->setObjectName("ImgViewer");
    CaptionLabel = new QLabel(this);
    CaptionLabel->setObjectName("txtViewerName");
    CaptionLabel->setStyleSheet("QLabel { background: rgba(0, 0, 0, 140); color: #e6e6e6; padding: 4px 8px; }");
    layout->addWidget(Picture, 0, 0);
    layout->addWidget(CaptionLabel, 0, 0, Qt::AlignLeft | Qt::AlignBottom);
    resize(Area());
}

TImageViewer::~TImageViewer() = default;

QSize TImageViewer::Area() const
{
    const QScreen* on = screen();
    return on ? on->size() : QSize(1024, 768);
}

QString TImageViewer::Caption() const
{
    if (position_ < 0)
        return {};
    return QString::fromStdString(Format("%s - %d / %d", ShownName(items_[position_]).c_str(), position_ + 1, Count()));
}

TImageViewer::TEntry& TImageViewer::Start(int position, bool here)
{
    TEntry& entry = decoded_[position];
    entry.decoded = std::make_shared<TDecoded>();
    const TViewerItem& item = items_[position];
    if (!item.broken.empty()) {
        entry.decoded->error = item.broken;
        return entry;
    }
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    try {
        bytes = std::make_shared<const std::vector<uint8_t>>(read_(item));
    } catch (const std::exception& e) {
        entry.decoded->error = e.what();
        return entry;
    }
    ++Decodes;
    auto decode = [out = entry.decoded, bytes, kind = item.kind, area = Area()] {
        try {
            out->picture = MakeShownPicture(bytes, kind, area);
        } catch (const std::exception& e) {
            out->error = *e.what() ? e.what() : "Error";
        }
    };
    if (here || !ReadAhead)
        decode();
    else
        entry.job = pool_.Submit(std::move(decode));
    return entry;
}

void TImageViewer::ShowAt(int position)
{
    if (position < 0 || position >= Count())
        return;
    position_ = position;
    auto found = decoded_.find(position);
    TEntry& entry = found != decoded_.end() ? found->second : Start(position, true);
    if (entry.job)
        pool_.Wait(entry.job, [] {});
    entry.job.reset();
    TDecoded& decoded = *entry.decoded;
    if (!decoded.error.empty()) {
        Picture->SetMessage(QString::fromStdString(QtLineBreaks(decoded.error)));
    } else if (decoded.picture.graphic) {
        // A graphic animates in one control only: it goes there, and comes
        // back here decoded anew.
        Picture->ShowPicture(std::move(decoded.picture));
        decoded_.erase(position);
    } else {
        TShownPicture copy;
        copy.image = decoded.picture.image;
        copy.full = decoded.picture.full;
        copy.decodeAt = decoded.picture.decodeAt;
        // An animation still to make is made by the control, off this thread.
        copy.makeAnimation = decoded.picture.makeAnimation;
        Picture->ShowPicture(std::move(copy));
    }
    const QString caption = Caption();
    setWindowTitle(caption);
    CaptionLabel->setText(caption);

    // Kept: the shown one and its neighbours; the next one on is read ahead.
    for (auto it = decoded_.begin(); it != decoded_.end();)
        it = std::abs(it->first - position) > 1 ? decoded_.erase(it) : std::next(it);
    const int ahead = position + direction_;
    if (ReadAhead && ahead >= 0 && ahead < Count() && !decoded_.count(ahead))
        Start(ahead, false);
}

void TImageViewer::Step(int direction)
{
    direction_ = direction;
    ShowAt(position_ + direction);
}

void TImageViewer::ToggleFullScreen()
{
    if (isFullScreen())
        showMaximized();
    else
        showFullScreen();
}

void TImageViewer::keyPressEvent(QKeyEvent* event)
{
    Guarded([&] {
        switch (event->key()) {
        case Qt::Key_Escape: close(); break;
        case Qt::Key_F11: ToggleFullScreen(); break;
        case Qt::Key_Right:
        case Qt::Key_Space:
        case Qt::Key_PageDown: Next(); break;
        case Qt::Key_Left:
        case Qt::Key_Backspace:
        case Qt::Key_PageUp: Previous(); break;
        case Qt::Key_Home: direction_ = +1; ShowAt(0); break;
        case Qt::Key_End: direction_ = -1; ShowAt(Count() - 1); break;
        case Qt::Key_Plus:
        case Qt::Key_Equal: Picture->ZoomBy(kZoomStep); break;
        case Qt::Key_Minus: Picture->ZoomBy(1 / kZoomStep); break;
        case Qt::Key_1: Picture->SetScale(1); break;
        case Qt::Key_0: Picture->ZoomToFit(); break;
        default: QWidget::keyPressEvent(event); break;
        }
    });
}

void TImageViewer::wheelEvent(QWheelEvent* event)
{
    const int delta = event->angleDelta().y();
    if (delta == 0)
        return QWidget::wheelEvent(event);
    const QPointF at = Picture->mapFrom(this, event->position());
    Picture->ZoomBy(std::pow(kZoomStep, static_cast<double>(delta) / kWheelNotch), at);
    event->accept();
}

void TImageViewer::mouseDoubleClickEvent(QMouseEvent*) { ToggleFullScreen(); }

void TImageViewer::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    if (closed_)
        return;
    closed_ = true;
    if (OnClose)
        OnClose(position_);
}
