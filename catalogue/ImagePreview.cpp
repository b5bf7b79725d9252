#include "ImagePreview.h"

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

void TImagePreview::SetPicture(const QImage& image)
{
    picture_ = image;
    update();
}

void TImagePreview::ClearPicture()
{
    picture_ = QImage();
    update();
}

void TImagePreview::paintEvent(QPaintEvent*)
{
    if (picture_.isNull())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(FitPreviewRect(picture_.width(), picture_.height(), width(), height()), picture_);
}
