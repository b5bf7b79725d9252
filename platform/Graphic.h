#pragma once
// The graphic base class: something with a size that loads itself from a
// stream and tells its owner when it changed. Drawing into a canvas and the
// picture container with its registry by file extension build on this.
#include <functional>
#include <string>

class TStream;

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
    void SaveToFile(const std::string& path) const;

    // Called after every change of the graphic's content or size.
    std::function<void(TGraphic&)> OnChange;

protected:
    void Changed();
};
