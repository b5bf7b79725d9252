// Colour tables: the global one of the header and the local one of a frame.
#include "GIFInternal.h"
#include "mygifimage.h"

#include <algorithm>
#include <cstring>

namespace {

void ColorToTriplet(TColor color, uint8_t* rgb)
{
    rgb[0] = RedOf(color);
    rgb[1] = GreenOf(color);
    rgb[2] = BlueOf(color);
}

} // namespace

int BitsForColors(int n)
{
    if (n <= 0)
        return 0;
    int bits = 1;
    while ((1 << bits) < n)
        ++bits;
    return bits;
}

TColor TGIFColorMap::TripletToColor(const uint8_t* rgb)
{
    return RGBColor(rgb[0], rgb[1], rgb[2]);
}

void TGIFColorMap::LoadColors(TStream& stream, int n)
{
    Clear();
    Reserve(n);
    ReadExact(stream, entries_.data(), static_cast<int64_t>(n) * 3);
    count_ = n;
}

void TGIFColorMap::Reserve(int n)
{
    if (n < Allocated())
        return;
    // Small tables get 16 entries, larger ones whole multiples of 32.
    int alloc = n <= 16 ? 16 : ((n + 31) / 32) * 32;
    alloc = std::min(alloc, MaxColors);
    entries_.resize(static_cast<size_t>(alloc) * 3, 0);
}

void TGIFColorMap::Clear()
{
    entries_.clear();
    entries_.shrink_to_fit();
    count_ = 0;
    sorted_ = false;
}

TColor TGIFColorMap::ColorAt(int index)
{
    if (index < 0 || index >= count_) {
        Warn(GIFWarningSeverity, gifmsg::InvalidColorIndex);
        if (count_ == 0)
            RaiseGIFError(gifmsg::TableEmpty);
        index = 0;
    }
    return TripletToColor(&entries_[static_cast<size_t>(index) * 3]);
}

int TGIFColorMap::FindColor(TColor color) const
{
    uint8_t rgb[3];
    ColorToTriplet(color, rgb);
    auto matches = [&](int i) { return std::memcmp(&entries_[static_cast<size_t>(i) * 3], rgb, 3) == 0; };
    // A sorted table has its most used colours first.
    if (sorted_) {
        for (int i = 0; i < count_; ++i)
            if (matches(i))
                return i;
    } else {
        for (int i = count_ - 1; i >= 0; --i)
            if (matches(i))
                return i;
    }
    return -1;
}

int TGIFColorMap::AppendColor(TColor color)
{
    if (count_ >= MaxColors)
        RaiseGIFError(gifmsg::TableOverflow);
    if (count_ >= Allocated())
        Reserve(count_ + 1);
    ColorToTriplet(color, &entries_[static_cast<size_t>(count_) * 3]);
    sorted_ = false;
    const int index = count_++;
    ColorsChanged();
    return index;
}

int TGIFColorMap::AppendUniqueColor(TColor color)
{
    const int found = FindColor(color);
    return found >= 0 ? found : AppendColor(color);
}

void TGIFColorMap::RemoveColor(int index)
{
    if (index < 0 || index >= count_)
        RaiseGIFError(gifmsg::InvalidColorIndex);
    auto first = entries_.begin() + static_cast<ptrdiff_t>(index) * 3;
    std::copy(first + 3, entries_.begin() + static_cast<ptrdiff_t>(count_) * 3, first);
    --count_;
    sorted_ = false;
    ColorsChanged();
}

void TGIFColorMap::FromPalette(const TPalette& palette)
{
    Clear();
    const int n = std::min(palette.Count(), MaxColors);
    if (n == 0)
        return;
    Reserve(n);
    for (int i = 0; i < n; ++i) {
        entries_[static_cast<size_t>(i) * 3] = palette[i].Red;
        entries_[static_cast<size_t>(i) * 3 + 1] = palette[i].Green;
        entries_[static_cast<size_t>(i) * 3 + 2] = palette[i].Blue;
    }
    count_ = n;
    ColorsChanged();
}

void TGIFColorMap::FromColorTable(const uint8_t* quads, int n)
{
    Clear();
    n = std::min(n, MaxColors);
    if (n <= 0)
        return;
    Reserve(n);
    for (int i = 0; i < n; ++i) {
        const uint8_t* q = quads + static_cast<size_t>(i) * 4;
        entries_[static_cast<size_t>(i) * 3] = q[2];
        entries_[static_cast<size_t>(i) * 3 + 1] = q[1];
        entries_[static_cast<size_t>(i) * 3 + 2] = q[0];
    }
    count_ = n;
    ColorsChanged();
}

TPaletteHandle TGIFColorMap::MakePalette() const
{
    if (count_ == 0)
        return nullptr;
    constexpr uint8_t kNoCollapse = 4;
    std::vector<TPaletteEntry> palette;
    palette.reserve(static_cast<size_t>(count_));
    for (int i = 0; i < count_; ++i) {
        const uint8_t* e = &entries_[static_cast<size_t>(i) * 3];
        palette.push_back({e[0], e[1], e[2], kNoCollapse});
    }
    return ::MakePalette(std::move(palette));
}

void TGIFColorMap::Assign(const TGIFColorMap& source)
{
    if (&source == this)
        return;
    std::vector<uint8_t> copy(source.entries_.size(), 0);
    std::copy_n(source.entries_.begin(), static_cast<size_t>(source.count_) * 3, copy.begin());
    entries_ = std::move(copy);
    count_ = source.count_;
    sorted_ = source.sorted_;
    ColorsChanged();
}

bool TGIFColorMap::SortEntries()
{
    if (count_ < 2)
        return false;
    sorted_ = true;
    TUsePairs pairs;
    pairs.reserve(static_cast<size_t>(count_));
    for (int i = 0; i < count_; ++i)
        pairs.emplace_back(0, i);
    CountUses(pairs);
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    bool moved = false;
    for (int i = 0; i < count_; ++i)
        moved = moved || pairs[static_cast<size_t>(i)].second != i;
    if (!moved)
        return true;

    std::vector<uint8_t> map(static_cast<size_t>(count_));
    for (int i = 0; i < count_; ++i)
        map[static_cast<size_t>(pairs[static_cast<size_t>(i)].second)] = static_cast<uint8_t>(i);
    RemapPixels(map);

    std::vector<uint8_t> moved_entries(entries_.size(), 0);
    int used = count_;
    for (int i = 0; i < count_; ++i) {
        const auto& [uses, old] = pairs[static_cast<size_t>(i)];
        std::memcpy(&moved_entries[static_cast<size_t>(i) * 3], &entries_[static_cast<size_t>(old) * 3], 3);
        if (uses == 0 && used == count_)
            used = i;
    }
    entries_ = std::move(moved_entries);
    count_ = used;
    ColorsChanged();
    return true;
}

// ---- counting and remapping the pixels a table colours --------------------

namespace {

void CountFrameUses(TGIFSubImage& frame, std::vector<std::pair<int64_t, int>>& pairs)
{
    if (!frame.HasPixels())
        return;
    const auto n = static_cast<int64_t>(pairs.size());
    const uint8_t* p = frame.StoredPixels();
    const int64_t stored = frame.StoredPixelCount();
    for (int64_t i = 0; i < stored; ++i)
        if (p[i] < n)
            ++pairs[p[i]].first;
    // Pixels not materialised hold the fill index.
    if (frame.FillIndex() < n)
        pairs[frame.FillIndex()].first += frame.PixelCount() - stored;
}

void RemapFrame(TGIFSubImage& frame, const std::vector<uint8_t>& map)
{
    // Indices outside the table are left as they are.
    auto remap = [&](uint8_t v) { return v < map.size() ? map[v] : v; };
    if (frame.HasPixels()) {
        // Materialising first keeps the fill index of untouched pixels right.
        uint8_t* p = frame.Pixels();
        for (int64_t i = 0; i < frame.PixelCount(); ++i)
            p[i] = remap(p[i]);
    }
    if (frame.HasTransparency() && frame.ControlExtension())
        frame.ControlExtension()->SetTransparentIndex(remap(frame.ControlExtension()->TransparentIndex()));
}

} // namespace

void TGIFGlobalColorMap::Warn(int severity, const std::string& message)
{
    if (owner_ && owner_->OwnerImage())
        owner_->OwnerImage()->Warning(*this, severity, message);
}

bool TGIFGlobalColorMap::SortByUse()
{
    if (!owner_ || !owner_->OwnerImage() || owner_->OwnerImage()->FrameCount() == 0)
        return false;
    return SortEntries();
}

void TGIFGlobalColorMap::ColorsChanged()
{
    if (owner_ && owner_->OwnerImage()) {
        // A palette made from the old colours would paint the new ones.
        owner_->OwnerImage()->SetPalette(nullptr);
        owner_->OwnerImage()->NotifyChanged();
    }
}

void TGIFGlobalColorMap::CountUses(TUsePairs& pairs)
{
    TMyGIFImage* image = owner_->OwnerImage();
    for (int i = 0; i < image->FrameCount(); ++i)
        if (&image->Frame(i)->EffectiveColorMap() == this)
            CountFrameUses(*image->Frame(i), pairs);
}

void TGIFGlobalColorMap::RemapPixels(const std::vector<uint8_t>& map)
{
    TMyGIFImage* image = owner_->OwnerImage();
    for (int i = 0; i < image->FrameCount(); ++i)
        if (&image->Frame(i)->EffectiveColorMap() == this)
            RemapFrame(*image->Frame(i), map);
}

void TGIFLocalColorMap::Warn(int severity, const std::string& message)
{
    if (owner_ && owner_->OwnerImage())
        owner_->OwnerImage()->Warning(*this, severity, message);
}

bool TGIFLocalColorMap::SortByUse()
{
    return SortEntries();
}

void TGIFLocalColorMap::ColorsChanged()
{
    if (owner_)
        owner_->LocalColorsChanged();
}

void TGIFLocalColorMap::CountUses(TUsePairs& pairs)
{
    if (owner_)
        CountFrameUses(*owner_, pairs);
}

void TGIFLocalColorMap::RemapPixels(const std::vector<uint8_t>& map)
{
    if (owner_)
        RemapFrame(*owner_, map);
}
