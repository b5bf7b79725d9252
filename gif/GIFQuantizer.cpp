// Octree colour quantisation and the optimised palettes made with it.
#include "mygifimage.h"
#include "platform/SystemPalettes.h"

#include <algorithm>

TColorQuantizer::TColorQuantizer(int maxColors, int colorBits)
    : maxColors_(std::max(maxColors, 1)), colorBits_(std::clamp(colorBits, 1, 8))
{
}

void TColorQuantizer::AddColor(int red, int green, int blue)
{
    std::unique_ptr<TOctreeNode>* slot = &root_;
    for (int level = 0;; ++level) {
        if (!*slot) {
            *slot = std::make_unique<TOctreeNode>();
            TOctreeNode& created = **slot;
            if (level == colorBits_) {
                created.IsLeaf = true;
                ++leafCount_;
            } else {
                created.NextReducible = reducible_[static_cast<size_t>(level)];
                reducible_[static_cast<size_t>(level)] = &created;
            }
        }
        TOctreeNode& node = **slot;
        if (node.IsLeaf) {
            ++node.PixelCount;
            node.RedSum += red;
            node.GreenSum += green;
            node.BlueSum += blue;
            break;
        }
        const int shift = 7 - level;
        const int child = (((red >> shift) & 1) << 2) | (((green >> shift) & 1) << 1) | ((blue >> shift) & 1);
        slot = &node.Children[static_cast<size_t>(child)];
    }
    while (leafCount_ > maxColors_)
        Reduce();
}

void TColorQuantizer::ProcessRow(const uint8_t* bgr, int width)
{
    for (int x = 0; x < width; ++x, bgr += 3)
        AddColor(bgr[2], bgr[1], bgr[0]);
}

void TColorQuantizer::Reduce()
{
    int level = colorBits_ - 1;
    while (level > 0 && !reducible_[static_cast<size_t>(level)])
        --level;
    TOctreeNode* node = reducible_[static_cast<size_t>(level)];
    if (!node) {
        // Only when the root itself was merged: one leaf is all there is.
        leafCount_ = std::min(leafCount_, maxColors_);
        return;
    }
    reducible_[static_cast<size_t>(level)] = node->NextReducible;
    node->NextReducible = nullptr;
    int merged = 0;
    for (auto& child : node->Children) {
        if (!child)
            continue;
        node->PixelCount += child->PixelCount;
        node->RedSum += child->RedSum;
        node->GreenSum += child->GreenSum;
        node->BlueSum += child->BlueSum;
        child.reset();
        ++merged;
    }
    node->IsLeaf = true;
    leafCount_ += 1 - merged;
}

static void CollectColors(const TOctreeNode& node, std::vector<TPaletteEntry>& out)
{
    if (node.IsLeaf) {
        if (node.PixelCount == 0) {
            out.push_back({0, 0, 0, 0});
            return;
        }
        out.push_back({static_cast<uint8_t>(node.RedSum / node.PixelCount),
                       static_cast<uint8_t>(node.GreenSum / node.PixelCount),
                       static_cast<uint8_t>(node.BlueSum / node.PixelCount), 0});
        return;
    }
    for (const auto& child : node.Children)
        if (child)
            CollectColors(*child, out);
}

std::vector<TPaletteEntry> TColorQuantizer::Colors() const
{
    std::vector<TPaletteEntry> colors;
    if (root_)
        CollectColors(*root_, colors);
    return colors;
}

TPaletteHandle OptimizedPalette(TDIB& rows, int colors, int colorBits, bool systemColors)
{
    colors = std::clamp(colors, 1, 256);
    const int found = systemColors ? 236 : colors;
    const int first = systemColors ? 10 : 0;
    std::vector<TPaletteEntry> entries(static_cast<size_t>(systemColors ? 256 : colors),
                                       TPaletteEntry{0, 0, 0, PC_NOCOLLAPSE});
    if (systemColors) {
        const TPalette& system = *SystemDefaultPalette();
        for (int i = 0; i < 10; ++i) {
            entries[static_cast<size_t>(i)] = system[i];
            entries[static_cast<size_t>(246 + i)] = system[10 + i];
        }
    }
    TColorQuantizer quantizer(found, colorBits);
    TBitmap& bitmap = rows.Bitmap();
    for (int y = 0; y < bitmap.Height(); ++y)
        quantizer.ProcessRow(rows.RowPointer(y), bitmap.Width());
    const std::vector<TPaletteEntry> colorsFound = quantizer.Colors();
    const size_t n = std::min(colorsFound.size(), static_cast<size_t>(found));
    std::copy_n(colorsFound.begin(), n, entries.begin() + first);
    return MakePalette(std::move(entries));
}
