#pragma once
// Thumbnails: the fit-and-centre stretch of a natural-size bitmap into the
// fixed thumbnail size, the image lists they go into, and the thumbnail of
// one vault record.
#include "imaging/ImageKinds.h"
#include "platform/Bitmap.h"

#include <QImage>

#include <vector>

class TDMMain;
class TGraphic;
class TStream;

// Where StretchToFit draws a ws x hs source in a wt x ht thumbnail.
TRect FitRect(int ws, int hs, int wt, int ht);
// Draws the whole source into the thumbnail at FitRect, dropping or
// repeating pixels (COLORONCOLOR, SRCCOPY); neither bitmap changes size. A
// source or thumbnail of zero width or height draws nothing.
void StretchToFit(const TBitmap& source, TBitmap& thumbnail);

// The images of one list, all of the list's size (32 x 32 thumbnails,
// 16 x 16 shell icons); the index of an item's image is its position.
class TImageList {
public:
    TImageList(int width = 32, int height = 32) : width_(width), height_(height) {}
    int Width() const { return width_; }
    int Height() const { return height_; }
    // Changing the size empties the list.
    void SetSize(int width, int height);
    int Count() const { return static_cast<int>(images_.size()); }
    const QImage& operator[](int i) const { return images_[static_cast<size_t>(i)]; }
    // Appends an image, scaled to the list's size when it differs.
    void Add(const QImage& image);
    void Add(const TBitmap& bitmap) { Add(bitmap.ToQImage()); }
    void Clear() { images_.clear(); }

private:
    int width_;
    int height_;
    std::vector<QImage> images_;
};

// The thumbnail of one image: the kind's loader on the stream (at the
// start of the image bytes), then StretchToFit into a new white bitmap of
// width x height. Raises the loader's message, or kUnknownImageKind for a
// letter that is no kind. This is the one proof of an image: the list, the
// window's Add and the vault tool's add and check all judge by it, so what
// can be added can be shown.
TBitmap MakeThumbnail(TStream& image, ImageKind kind, int width, int height);

// The step the list runs for the store's current record: its thumbnail,
// sized to large, appended to large, and the shell icon of "a" plus the
// kind's shown extension appended to small. Nothing is appended when a
// step fails (the error passes on); everything made is freed.
void AddRecordThumbnail(TDMMain& store, TImageList& large, TImageList& small);
