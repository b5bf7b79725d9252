#pragma once
// ImgPreview: the picture control of the preview pane. It draws its picture
// scaled to fit with the aspect ratio kept, small pictures enlarged, centred.
#include <QImage>
#include <QRect>
#include <QWidget>

// Where a w x h picture goes inside a cw x ch client area.
QRect FitPreviewRect(int w, int h, int cw, int ch);

class TImagePreview : public QWidget {
    Q_OBJECT
public:
    explicit TImagePreview(QWidget* parent = nullptr);

    void SetPicture(const QImage& image);
    void ClearPicture();
    const QImage& Picture() const { return picture_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage picture_;
};
