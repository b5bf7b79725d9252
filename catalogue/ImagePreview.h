#pragma once
// ImgPreview: the picture control of the preview pane. It draws its picture
// scaled to fit with the aspect ratio kept, small pictures enlarged, centred.
// A picture that draws itself (a GIF, which animates) is held as a graphic
// and asked to draw into the fitted rectangle at every paint. Fitted is the
// start; the full-window viewer also zooms it and pans it by dragging.
// An animation that takes long to make is shown as its first frame while a
// worker of the control's own makes it; then it plays in the still's place.
#include "imaging/ShownPicture.h"
#include "platform/Bitmap.h"

#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>

class TGraphic;
class TWorkerPool;

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
    // Whichever of the three the picture is; starts fitted. A picture with
    // an animation to make shows its still image and starts making it.
    void ShowPicture(TShownPicture picture);
    // While the animation of the shown still picture is being made. Any
    // other picture, a clear, a message or the control's end drops it: what
    // it makes then is thrown away. A failure keeps the still.
    bool Converting() const { return conversion_ != nullptr; }
    // Runs on the worker before each animation is made, given the flag that
    // turns true once its result is no longer wanted (tests hold it there).
    std::function<void(const std::atomic<bool>& dropped)> BeforeConversion;
    // Frees the picture (a graphic stops its animation first).
    void ClearPicture();
    // Shows why a record cannot be shown, in place of its picture, until the
    // next picture or clear.
    void SetMessage(const QString& text);
    const QString& Message() const { return message_; }
    TGraphic* Graphic() const { return graphic_.get(); }
    // What the control shows, at the picture's own size.
    QImage Picture() const;

    // The picture's full size (a JPEG's, however small it is held).
    QSize FullSize() const;
    // True while the picture is fitted to the control (the start).
    bool Fitted() const { return zoom_ <= 0; }
    // Shown pixels per pixel of the full picture, fitted or not.
    double Scale() const;
    void ZoomToFit();
    // Scale 1 is 100 %; held between kMinZoom and kMaxZoom. The picture
    // point under anchor (in the control) stays there; the centre when
    // anchor is null.
    void SetScale(double scale, QPointF anchor = {-1, -1});
    void ZoomBy(double factor, QPointF anchor = {-1, -1}) { SetScale(Scale() * factor, anchor); }
    // Where the picture is drawn in the control.
    QRect ShownRect() const;
    static constexpr double kMinZoom = 1.0 / 64;
    static constexpr double kMaxZoom = 32;

Q_SIGNALS:
    // The animation being made for the shown picture is done: playing
    // (true), or failed or found nothing to play (false).
    void ConversionEnded(bool playing);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    struct TConversion;
    void DropGraphic();
    void StartConversion(TShownPicture::TAnimationMaker make);
    void EndConversion(TConversion& conversion);
    void DropConversion();
    // A picture held smaller than shown is decoded again at the shown size.
    void EnsureResolution();
    bool Pannable() const;

    QImage picture_;
    QSize full_;
    std::function<QImage(int, int)> decode_;
    QString message_;
    std::unique_ptr<TGraphic> graphic_;
    // The fitted rectangle the graphic draws into.
    TBitmap canvas_;
    double zoom_ = 0; // 0: fitted
    // The picture's top-left corner while zoomed (held so that no more than
    // the picture's own margin shows).
    QPointF origin_;
    QPoint dragFrom_;
    bool dragging_ = false;
    // The animation being made for the still picture; shared with the
    // worker, which writes only into it.
    std::shared_ptr<TConversion> conversion_;
    // Made with the first animation; its end waits for the worker's frame.
    std::unique_ptr<TWorkerPool> converter_;
};
