#include "Graphic.h"

#include "Bitmap.h"
#include "Exception.h"
#include "Stream.h"

void TGraphic::SaveToStream(TStream&) const
{
    throw Exception("This picture cannot be saved");
}

void TGraphic::LoadFromFile(const std::string& path)
{
    TMemoryStream stream;
    stream.LoadFromFile(path);
    LoadFromStream(stream);
}

void TGraphic::SaveToFile(const std::string& path) const
{
    TMemoryStream stream;
    SaveToStream(stream);
    stream.SaveToFile(path);
}

void TGraphic::Draw(TBitmap&, const TRect&) const
{
    throw Exception("This picture cannot be drawn");
}

void TGraphic::AssignTo(TBitmap& dest) const
{
    TBitmap canvas(Width(), Height());
    if (!Empty())
        Draw(canvas, Rect(0, 0, Width(), Height()));
    dest.Assign(canvas);
}

void TGraphic::Changed()
{
    if (OnChange)
        OnChange(*this);
}
