#pragma once
// The graphic base class: something with a size that loads itself from a
// stream and tells its owner when it changed. Drawing into a canvas and the
// picture container with its registry by file extension build on this.
#include <functional>
#include <memory>
#include <string>

class TStream;
class TBitmap;
class TPalette;
struct TRect;

class TGraphic {
public:
    virtual ~TGraphic() = default;
    TGraphic() = default;
    TGraphic(const TGraphic&) = delete;
    TGraphic& operator=(const TGraphic&) = delete;

    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual bool Empty() const = 0;

    virtual void LoadFromStream(TStream& stream) = 0;
    virtual void SaveToStream(TStream& stream) const;
    void LoadFromFile(const std::string& path);
    // Persistence inside a larger data stream: a 32-bit little-endian size,
    // then what SaveToStream writes. ReadData takes exactly that many bytes
    // ("Stream read error" when the stream holds fewer).
    virtual void WriteData(TStream& stream) const;
    virtual void ReadData(TStream& stream);
    void SaveToFile(const std::string& path) const;

    // Draws the graphic stretched into rect of the canvas. The base class
    // cannot draw and raises.
    virtual void Draw(TBitmap& canvas, const TRect& rect) const;
    // Copies the graphic into a bitmap. By default the bitmap is sized to
    // the graphic, starts white and the graphic is drawn on it; classes
    // that own a bitmap of their own hand over a copy of it instead.
    virtual void AssignTo(TBitmap& dest) const;
    // Whether drawing leaves the canvas showing where the graphic has no
    // content (icons, metafiles, bitmaps marked so).
    virtual bool Transparent() const { return false; }
    // The graphic's palette, if it has one.
    virtual std::shared_ptr<const TPalette> Palette() const { return {}; }

    // Called after every change of the graphic's content or size.
    std::function<void(TGraphic&)> OnChange;

protected:
    void Changed();
};
