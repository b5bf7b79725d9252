#include "Clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>

#include <algorithm>
#include <mutex>

namespace {

class TQtClipboard : public TClipboard {
public:
    bool HasFormat(const std::string& format) const override
    {
        const QMimeData* mime = Current();
        return mime && mime->hasFormat(QString::fromStdString(format));
    }

    std::vector<uint8_t> Data(const std::string& format) const override
    {
        const QMimeData* mime = Current();
        if (!mime)
            return {};
        const QByteArray bytes = mime->data(QString::fromStdString(format));
        return {bytes.begin(), bytes.end()};
    }

    std::optional<TBitmap> Bitmap() const override
    {
        const QMimeData* mime = Current();
        if (!mime || !mime->hasImage())
            return std::nullopt;
        const QImage image = qvariant_cast<QImage>(mime->imageData());
        if (image.isNull())
            return std::nullopt;
        TBitmap bitmap;
        bitmap.Assign(image);
        return bitmap;
    }

    bool SetContent(const TBitmap* bitmap, const std::vector<TClipboardData>& data) override
    {
        if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
            return false;
        QClipboard* clipboard = QGuiApplication::clipboard();
        auto* mime = new QMimeData;
        if (bitmap)
            mime->setImageData(bitmap->ToQImage());
        for (const TClipboardData& d : data)
            mime->setData(QString::fromStdString(d.Format),
                          QByteArray(reinterpret_cast<const char*>(d.Bytes.data()), static_cast<qsizetype>(d.Bytes.size())));
        clipboard->setMimeData(mime); // the clipboard owns it now
        // A clipboard that did not take the content reads back without it.
        const QMimeData* now = clipboard->mimeData();
        if (!now)
            return false;
        for (const TClipboardData& d : data)
            if (!now->hasFormat(QString::fromStdString(d.Format)))
                return false;
        return !bitmap || now->hasImage();
    }

private:
    static const QMimeData* Current()
    {
        if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
            return nullptr;
        return QGuiApplication::clipboard()->mimeData();
    }
};

TClipboard* g_clipboard = nullptr;

std::mutex& FormatsLock()
{
    static std::mutex lock;
    return lock;
}

std::vector<std::string>& Formats()
{
    static std::vector<std::string> formats;
    return formats;
}

} // namespace

TClipboard& Clipboard()
{
    static TQtClipboard qt;
    return g_clipboard ? *g_clipboard : qt;
}

unsigned RegisterClipboardFormat(const std::string& name)
{
    constexpr unsigned kFirst = 0xC000;
    std::lock_guard guard(FormatsLock());
    auto& formats = Formats();
    auto it = std::find(formats.begin(), formats.end(), name);
    if (it == formats.end())
        it = formats.insert(formats.end(), name);
    return kFirst + static_cast<unsigned>(it - formats.begin());
}

std::vector<std::string> RegisteredClipboardFormats()
{
    std::lock_guard guard(FormatsLock());
    return Formats();
}

bool TMemoryClipboard::HasFormat(const std::string& format) const
{
    return std::any_of(data_.begin(), data_.end(), [&](const TClipboardData& d) { return d.Format == format; });
}

std::vector<uint8_t> TMemoryClipboard::Data(const std::string& format) const
{
    for (const TClipboardData& d : data_)
        if (d.Format == format)
            return d.Bytes;
    return {};
}

bool TMemoryClipboard::SetContent(const TBitmap* bitmap, const std::vector<TClipboardData>& data)
{
    ++SetCount;
    if (Refuse)
        return false;
    bitmap_.reset();
    if (bitmap)
        bitmap_ = *bitmap;
    data_ = data;
    return true;
}

ScopedClipboard::ScopedClipboard(TClipboard& clipboard) : previous_(g_clipboard)
{
    g_clipboard = &clipboard;
}

ScopedClipboard::~ScopedClipboard()
{
    g_clipboard = previous_;
}
