#include "Graphic.h"

#include "Bitmap.h"
#include "Exception.h"
#include "Stream.h"

#include <cstdint>
#include <vector>

void TGraphic::SaveToStream(TStream&) const
{
    throw Exception("This picture cannot be saved");
}

void TGraphic::WriteData(TStream& stream) const
{
    TMemoryStream saved;
    SaveToStream(saved);
    const auto size = static_cast<uint32_t>(saved.Size());
    const uint8_t prefix[4] = {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                               static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24)};
    stream.WriteBuffer(prefix, 4);
    stream.WriteBuffer(saved.Memory(), saved.Size());
}

void TGraphic::ReadData(TStream& stream)
{
    uint8_t prefix[4];
    stream.ReadBuffer(prefix, 4);
    const int64_t size = static_cast<int64_t>(prefix[0]) | (static_cast<int64_t>(prefix[1]) << 8) |
                         (static_cast<int64_t>(prefix[2]) << 16) | (static_cast<int64_t>(prefix[3]) << 24);
    // A size beyond the stream is refused before anything is allocated.
    if (size > stream.Size() - stream.Position())
        throw EReadError("Stream read error");
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    stream.ReadBuffer(bytes.data(), size);
    TMemoryStream data(std::move(bytes));
    LoadFromStream(data);
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
