#include "ImagePreview.h"

#include "platform/Exception.h"
#include "platform/Graphic.h"

#include <QPainter>
#include <cmath>

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

TImagePreview::TImagePreview(QWidget* parent) : QWidget(parent) { setObjectName("ImgPreview"); }

TImagePreview::~TImagePreview() { DropGraphic(); }

void TImagePreview::DropGraphic()
{
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
    update();
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
    if (!decode_ || picture_.isNull() || picture_.width() >= full_.width())
        return;
    const QRect fit = FitPreviewRect(full_.width(), full_.height(), width(), height());
    if (fit.width() <= picture_.width() && fit.height() <= picture_.height())
        return;
    try {
        picture_ = decode_(fit.width(), fit.height());
    } catch (const std::exception&) {
        // It decoded once: keep the smaller picture rather than none.
    }
    update();
}

void TImagePreview::SetGraphic(std::unique_ptr<TGraphic> graphic)
{
    DropGraphic();
    picture_ = QImage();
    decode_ = nullptr;
    message_.clear();
    graphic_ = std::move(graphic);
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
        const QRect fit = FitPreviewRect(graphic_->Width(), graphic_->Height(), width(), height());
        if (fit.isEmpty())
            return;
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
        painter.drawImage(fit.topLeft(), canvas_.ToQImage());
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
    painter.drawImage(FitPreviewRect(picture_.width(), picture_.height(), width(), height()), picture_);
}
