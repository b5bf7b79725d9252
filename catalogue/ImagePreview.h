#pragma once
// ImgPreview: the picture control of the preview pane. It draws its picture
// scaled to fit with the aspect ratio kept, small pictures enlarged, centred.
// A picture that draws itself (a GIF, which animates) is held as a graphic
// and asked to draw into the fitted rectangle at every paint.
#include "platform/Bitmap.h"

#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class TGraphic;

// Where a w x h picture goes inside a cw x ch client area.
QRect FitPreviewRect(int w, int h, int cw, int ch);

class TImagePreview : public QWidget {
    Q_OBJECT
public:
    explicit TImagePreview(QWidget* parent = nullptr);
    ~TImagePreview() override;

    void SetPicture(const QImage& image);
    // A picture decoded smaller than its full size: whenever the control
    // grows past what it holds, decode (given the fitted size) makes it
    // again at that size, up to full.
    void SetScaledPicture(const QImage& image, QSize full, std::function<QImage(int, int)> decode);
    // Takes the graphic; every change it reports repaints the control.
    void SetGraphic(std::unique_ptr<TGraphic> graphic);
    // Frees the picture (a graphic stops its animation first).
    void ClearPicture();
    // Shows why a record cannot be shown, in place of its picture, until the
    // next picture or clear.
    void SetMessage(const QString& text);
    const QString& Message() const { return message_; }
    TGraphic* Graphic() const { return graphic_.get(); }
    // What the control shows, at the picture's own size.
    QImage Picture() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void DropGraphic();

    QImage picture_;
    QSize full_;
    std::function<QImage(int, int)> decode_;
    QString message_;
    std::unique_ptr<TGraphic> graphic_;
    // The fitted rectangle the graphic draws into.
    TBitmap canvas_;
};
