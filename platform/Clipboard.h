#pragma once
// The system clipboard: one piece of content at a time, a bitmap and data
// under named formats. The program uses Qt's clipboard; tests put one of
// their own in place with ScopedClipboard.
#include "platform/Bitmap.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct TClipboardData {
    std::string Format;
    std::vector<uint8_t> Bytes;
};

class TClipboard {
public:
    virtual ~TClipboard() = default;
    virtual bool HasFormat(const std::string& format) const = 0;
    // The bytes under format (empty when there are none).
    virtual std::vector<uint8_t> Data(const std::string& format) const = 0;
    // The clipboard's picture, if it holds one.
    virtual std::optional<TBitmap> Bitmap() const = 0;
    // Replaces the content with the bitmap (when given) and the data. False
    // when the clipboard refused it; then nothing of it is there.
    virtual bool SetContent(const TBitmap* bitmap, const std::vector<TClipboardData>& data) = 0;
};

// The clipboard in use: Qt's (a refusal without a GUI application).
TClipboard& Clipboard();

// Registers a named clipboard format once; answers its number (0xC000 on).
unsigned RegisterClipboardFormat(const std::string& name);
// The registered names, in order.
std::vector<std::string> RegisteredClipboardFormats();

// A clipboard in memory, for tests and tools.
class TMemoryClipboard : public TClipboard {
public:
    bool HasFormat(const std::string& format) const override;
    std::vector<uint8_t> Data(const std::string& format) const override;
    std::optional<TBitmap> Bitmap() const override { return bitmap_; }
    bool SetContent(const TBitmap* bitmap, const std::vector<TClipboardData>& data) override;

    // When set, SetContent refuses.
    bool Refuse = false;
    int SetCount = 0;

private:
    std::optional<TBitmap> bitmap_;
    std::vector<TClipboardData> data_;
};

// Puts a clipboard in place for its lifetime.
class ScopedClipboard {
public:
    explicit ScopedClipboard(TClipboard& clipboard);
    ~ScopedClipboard();
    ScopedClipboard(const ScopedClipboard&) = delete;
    ScopedClipboard& operator=(const ScopedClipboard&) = delete;

private:
    TClipboard* previous_;
};
