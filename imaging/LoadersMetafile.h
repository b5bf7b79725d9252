#pragma once
// Enhanced (EMF) and Windows (WMF) metafiles. The bytes are kept as loaded
// and played when drawn: EMF through libemf2svg and librsvg, WMF through
// libwmf (both chosen by rendering the sample corpus; see the players), in
// a helper process (MetafileHelper.h).
#include "MetafilePlayers.h"
#include "platform/Bitmap.h"

#include <cstdint>
#include <vector>

class TMetafile : public TGraphic {
public:
    // Natural size in pixels at 96 per inch: from the EMF frame, the WMF
    // placeable header, or the WMF window extent.
    int Width() const override { return width_; }
    int Height() const override { return height_; }
    bool Empty() const override { return bytes_.empty(); }
    bool Enhanced() const { return enhanced_; }
    // Played over the canvas: what it does not paint keeps the background.
    bool Transparent() const override { return true; }

    // Checks the header; "Metafile is not valid" for anything else.
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) const override;
    // Plays the metafile stretched into rect, over what the canvas holds.
    // "Metafile is not valid" when the player refuses the records, crashes,
    // hits its limits or runs out of time.
    void Draw(TBitmap& canvas, const TRect& rect) const override;

private:
    std::vector<uint8_t> bytes_;
    bool enhanced_ = false;
    int width_ = 0;
    int height_ = 0;
};

// The size a metafile's bitmap is drawn at: its natural size, scaled down
// evenly when the longer side exceeds MaxMetafileSide.
constexpr int MaxMetafileSide = 4096;
void MetafileBitmapSize(int width, int height, int& outWidth, int& outHeight);
// The metafile played on a white bitmap of that size.
void DrawMetafileNatural(const TMetafile& metafile, TBitmap& bitmap);
// The metafile played straight into its place in a thumbnail (FitRect),
// over what the thumbnail holds: drawn at the thumbnail's size, not at its
// natural size and then reduced.
void DrawMetafileThumbnail(const TMetafile& metafile, TBitmap& thumbnail);
