#pragma once
// A record's picture as the window shows it large (the preview pane, the
// full-window viewer): made from the image file's bytes, on any thread.
#include <QImage>
#include <QSize>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TGraphic;

struct TShownPicture {
    // The picture; a JPEG only as large as it was asked to fill.
    QImage image;
    // A JPEG decoded smaller than full: its full upright size, and how to
    // decode it again at least w x h (up to full).
    QSize full;
    std::function<QImage(int w, int h)> decodeAt;
    // A picture that draws itself (a GIF, an animation made into one): it
    // animates once it is drawn. Set instead of image.
    std::unique_ptr<TGraphic> graphic;
    // An animation that takes long to make (the frames of another kind made
    // into a GIF): image holds its first frame, to be shown at once, and
    // this makes the graphic that plays it. It reads only what it holds, so
    // any thread may run it; it answers null once cancelled turns true, or
    // when there is nothing to play, and raises the decoder's message.
    using TAnimationMaker = std::function<std::unique_ptr<TGraphic>(const std::atomic<bool>& cancelled)>;
    TAnimationMaker makeAnimation;
};

// Decodes the bytes of an image file of the kind. area is the space the
// picture is fitted into: a JPEG is decoded at the least scale that fills
// it. An icon is drawn on white at its natural size so that it scales like
// the others; a metafile at most as big as its thumbnail may be. Raises the
// decoder's message, or kUnknownImageKind. An animation of another kind than
// GIF comes as its first frame and the maker of its animation.
TShownPicture MakeShownPicture(std::shared_ptr<const std::vector<uint8_t>> bytes, const std::string& kind, QSize area);
