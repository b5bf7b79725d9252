#pragma once
// Icons (.ico): the largest image of the file, kept with its transparency.
// Drawing blends it over the canvas, so drawn on white the transparent
// pixels come out white.
#include "platform/Bitmap.h"

#include <QImage>

class TIcon : public TGraphic {
public:
    int Width() const override { return image_.width(); }
    int Height() const override { return image_.height(); }
    bool Empty() const override { return image_.isNull(); }

    // "Icon image is not valid" for anything that is not a readable icon.
    void LoadFromStream(TStream& stream) override;
    void Draw(TBitmap& canvas, const TRect& rect) const override;

    bool Transparent() const override { return true; }
    // 1 bit a pixel, 1 where the icon is transparent (alpha below half).
    TBitmap MaskBitmap() const;

    // The chosen image, ARGB32 premultiplied-free.
    const QImage& Image() const { return image_; }
    // Sets the icon from an image (used for shell icons).
    void SetImage(const QImage& image);

private:
    QImage image_;
};
