#include "ImagePreview.h"

#include "imaging/ShownPicture.h"
#include "platform/Exception.h"
#include "platform/Graphic.h"
#include "platform/WorkerPool.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace {

// A zoomed graphic draws into a bitmap of at most this many pixels, then
// scaled: its natural size may be far more than memory holds.
constexpr int64_t kMaxGraphicCanvas = 4096 * 4096;

} // namespace

QRect FitPreviewRect(int w, int h, int cw, int ch)
{
    if (w <= 0 || h <= 0 || cw <= 0 || ch <= 0)
        return {};
    const double aspect = static_cast<double>(w) / static_cast<double>(h);
    int width = 0;
    int height = 0;
    if (w > h) {
        width = cw;
        height = static_cast<int>(std::trunc(cw / aspect));
        if (height > ch) {
            height = ch;
            width = static_cast<int>(std::trunc(ch * aspect));
        }
    } else {
        height = ch;
        width = static_cast<int>(std::trunc(ch * aspect));
        if (width > cw) {
            width = cw;
            height = static_cast<int>(std::trunc(cw / aspect));
        }
    }
    return {(cw - width) / 2, (ch - height) / 2, width, height};
}

struct TImagePreview::TConversion {
    std::atomic<bool> dropped{false};
    // Written by the worker before it reports back, read on the GUI thread
    // after.
    std::unique_ptr<TGraphic> made;
    // GUI thread only: the control that waits for it; null once none does.
    TImagePreview* owner = nullptr;
};

TImagePreview::TImagePreview(QWidget* parent) : QWidget(parent) { setObjectName("ImgPreview"); }

TImagePreview::~TImagePreview()
{
    DropGraphic();
    // Waits for the frame the worker is on; the rest of the animation is
    // not made.
    converter_.reset();
}

void TImagePreview::StartConversion(TShownPicture::TAnimationMaker make)
{
    if (!converter_)
        converter_ = std::make_unique<TWorkerPool>(1);
    auto conversion = std::make_shared<TConversion>();
    conversion->owner = this;
    conversion_ = conversion;
    converter_->Submit([conversion, make = std::move(make), gate = BeforeConversion] {
        try {
            if (gate)
                gate(conversion->dropped);
            if (!conversion->dropped.load())
                conversion->made = make(conversion->dropped);
        } catch (...) {
            // The still stays shown: it is the picture, without its motion.
            conversion->made.reset();
        }
        // Told through the application, which outlives every control; the
        // control itself may be gone by the time this runs.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [conversion] {
                if (conversion->owner)
                    conversion->owner->EndConversion(*conversion);
            },
            Qt::QueuedConnection);
    });
}

void TImagePreview::EndConversion(TConversion& conversion)
{
    conversion.owner = nullptr;
    conversion_.reset();
    std::unique_ptr<TGraphic> made = std::move(conversion.made);
    const bool playing = made != nullptr;
    if (playing) {
        // The same picture, now moving: a zoom the viewer chose stays.
        const QSize before = FullSize();
        const double zoom = zoom_;
        const QPointF origin = origin_;
        SetGraphic(std::move(made));
        if (FullSize() == before) {
            zoom_ = zoom;
            origin_ = origin;
        }
    }
    Q_EMIT ConversionEnded(playing);
}

void TImagePreview::DropConversion()
{
    if (!conversion_)
        return;
    conversion_->owner = nullptr;
    conversion_->dropped.store(true);
    conversion_.reset();
}

void TImagePreview::DropGraphic()
{
    // Whatever replaces the picture also replaces the animation it awaited.
    DropConversion();
    if (!graphic_)
        return;
    // Its animation stops while it goes; the frames it still paints on the
    // way out need no repaint.
    graphic_->OnChange = nullptr;
    graphic_.reset();
}

void TImagePreview::SetPicture(const QImage& image)
{
    DropGraphic();
    message_.clear();
    picture_ = image;
    decode_ = nullptr;
    zoom_ = 0;
    update();
}

void TImagePreview::ShowPicture(TShownPicture picture)
{
    if (picture.graphic) {
        SetGraphic(std::move(picture.graphic));
        return;
    }
    if (picture.decodeAt)
        SetScaledPicture(picture.image, picture.full, std::move(picture.decodeAt));
    else
        SetPicture(picture.image);
    if (picture.makeAnimation)
        StartConversion(std::move(picture.makeAnimation));
}

void TImagePreview::SetScaledPicture(const QImage& image, QSize full, std::function<QImage(int, int)> decode)
{
    SetPicture(image);
    full_ = full;
    decode_ = std::move(decode);
}

void TImagePreview::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    EnsureResolution();
}

void TImagePreview::EnsureResolution()
{
    if (!decode_ || picture_.isNull() || picture_.width() >= full_.width())
        return;
    const QRect shown = ShownRect();
    if (shown.width() <= picture_.width() && shown.height() <= picture_.height())
        return;
    try {
        picture_ = decode_(std::min(shown.width(), full_.width()), std::min(shown.height(), full_.height()));
    } catch (const std::exception&) {
        // It decoded once: keep the smaller picture rather than none.
    }
    update();
}

QSize TImagePreview::FullSize() const
{
    if (graphic_)
        return QSize(graphic_->Width(), graphic_->Height());
    if (decode_)
        return full_;
    return picture_.size();
}

QRect TImagePreview::ShownRect() const
{
    const QSize full = FullSize();
    if (full.isEmpty())
        return {};
    if (Fitted())
        return FitPreviewRect(full.width(), full.height(), width(), height());
    const int w = std::max(1, static_cast<int>(std::lround(full.width() * zoom_)));
    const int h = std::max(1, static_cast<int>(std::lround(full.height() * zoom_)));
    // Smaller than the control: centred; larger: no edge comes inside.
    const auto place = [](int size, int room, double origin) {
        return size <= room ? (room - size) / 2 : std::clamp(static_cast<int>(std::lround(origin)), room - size, 0);
    };
    return QRect(place(w, width(), origin_.x()), place(h, height(), origin_.y()), w, h);
}

double TImagePreview::Scale() const
{
    if (!Fitted())
        return zoom_;
    const QSize full = FullSize();
    return full.isEmpty() ? 1.0 : static_cast<double>(ShownRect().width()) / full.width();
}

void TImagePreview::ZoomToFit()
{
    zoom_ = 0;
    unsetCursor();
    update();
}

void TImagePreview::SetScale(double scale, QPointF anchor)
{
    if (FullSize().isEmpty())
        return;
    const QPointF at = anchor.x() < 0 ? QPointF(width() / 2.0, height() / 2.0) : anchor;
    const QPointF pictureAt = (at - QPointF(ShownRect().topLeft())) / Scale();
    zoom_ = std::clamp(scale, kMinZoom, kMaxZoom);
    origin_ = at - pictureAt * zoom_;
    origin_ = ShownRect().topLeft(); // as held, so that a drag starts from what is shown
    if (Pannable())
        setCursor(Qt::OpenHandCursor);
    else
        unsetCursor();
    EnsureResolution();
    update();
}

bool TImagePreview::Pannable() const
{
    const QRect shown = ShownRect();
    return !Fitted() && (shown.width() > width() || shown.height() > height());
}

void TImagePreview::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !Pannable())
        return QWidget::mousePressEvent(event);
    dragging_ = true;
    dragFrom_ = event->position().toPoint();
    setCursor(Qt::ClosedHandCursor);
}

void TImagePreview::mouseMoveEvent(QMouseEvent* event)
{
    if (!dragging_)
        return QWidget::mouseMoveEvent(event);
    const QPoint at = event->position().toPoint();
    origin_ += at - dragFrom_;
    dragFrom_ = at;
    origin_ = ShownRect().topLeft();
    update();
}

void TImagePreview::mouseReleaseEvent(QMouseEvent* event)
{
    if (!dragging_ || event->button() != Qt::LeftButton)
        return QWidget::mouseReleaseEvent(event);
    dragging_ = false;
    setCursor(Pannable() ? Qt::OpenHandCursor : Qt::ArrowCursor);
}

void TImagePreview::SetGraphic(std::unique_ptr<TGraphic> graphic)
{
    DropGraphic();
    picture_ = QImage();
    decode_ = nullptr;
    message_.clear();
    graphic_ = std::move(graphic);
    zoom_ = 0;
    if (graphic_) {
        // Queued: a change may be told while the control paints, and a
        // repaint asked for inside a paint would be lost.
        graphic_->OnChange = [this](TGraphic&) {
            QMetaObject::invokeMethod(this, [this] { update(); }, Qt::QueuedConnection);
        };
    }
    update();
}

void TImagePreview::ClearPicture()
{
    DropGraphic();
    picture_ = QImage();
    decode_ = nullptr;
    message_.clear();
    zoom_ = 0;
    unsetCursor();
    update();
}

void TImagePreview::SetMessage(const QString& text)
{
    DropGraphic();
    picture_ = QImage();
    message_ = text;
    update();
}

QImage TImagePreview::Picture() const
{
    if (!graphic_ || graphic_->Width() <= 0 || graphic_->Height() <= 0)
        return picture_;
    TBitmap bitmap(graphic_->Width(), graphic_->Height());
    bitmap.Fill(clWhite);
    graphic_->Draw(bitmap, Rect(0, 0, bitmap.Width(), bitmap.Height()));
    return bitmap.ToQImage();
}

void TImagePreview::paintEvent(QPaintEvent*)
{
    if (graphic_) {
        const QRect shown = ShownRect();
        if (shown.isEmpty())
            return;
        // Fitted, the graphic stretches itself; zoomed, it draws at most at
        // its own size and the painter scales that.
        QSize size = shown.size();
        if (!Fitted()) {
            size = size.boundedTo(FullSize());
            const double area = static_cast<double>(size.width()) * size.height();
            if (area > kMaxGraphicCanvas)
                size = size.scaled(QSize(4096, 4096), Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
        }
        const QRect fit(shown.topLeft(), size);
        if (canvas_.Width() != fit.width() || canvas_.Height() != fit.height())
            canvas_.SetSize(fit.width(), fit.height());
        // What lies under a transparent picture: the pane.
        const QColor back = palette().color(backgroundRole());
        canvas_.Fill(RGBColor(uint8_t(back.red()), uint8_t(back.green()), uint8_t(back.blue())));
        try {
            graphic_->Draw(canvas_, Rect(0, 0, fit.width(), fit.height()));
        } catch (const Exception&) {
            // A frame that cannot be drawn leaves the pane empty; the load
            // already reported what was wrong with the file.
            return;
        }
        QPainter painter(this);
        if (size == shown.size()) {
            painter.drawImage(shown.topLeft(), canvas_.ToQImage());
        } else {
            painter.setRenderHint(QPainter::SmoothPixmapTransform, Scale() < 1);
            painter.drawImage(shown, canvas_.ToQImage());
        }
        return;
    }
    if (!message_.isEmpty()) {
        QPainter painter(this);
        painter.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, message_);
        return;
    }
    if (picture_.isNull())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(ShownRect(), picture_);
}
