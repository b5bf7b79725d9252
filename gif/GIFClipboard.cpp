// The image on the clipboard: its bitmap for every program, and the saved
// GIF stream under "GIF Image" and image/gif for those that read GIF.
#include "GIFWriter.h"
#include "mygifimage.h"
#include "platform/Clipboard.h"
#include "platform/GdiExtras.h"

void TMyGIFImage::LoadFromClipboard()
{
    TClipboard& clipboard = Clipboard();
    for (const char* format : {GIFClipboardFormat, GIFMimeType}) {
        if (clipboard.HasFormat(format)) {
            TMemoryStream stream(clipboard.Data(format));
            LoadFromStream(stream);
            return;
        }
    }
    if (const std::optional<TBitmap> bitmap = clipboard.Bitmap()) {
        Clear();
        Add(*bitmap);
        return;
    }
    throw EInvalidGraphicOperation(gifmsg::UnsupportedClipboardFormat);
}

void TMyGIFImage::SaveToClipboard()
{
    if (IsEmpty())
        return;
    TMemoryStream stream;
    SaveToStream(stream);
    const std::vector<TClipboardData> data = {{GIFClipboardFormat, stream.Bytes()}, {GIFMimeType, stream.Bytes()}};
    if (!Clipboard().SetContent(ImageBitmap(), data))
        RaiseGIFError(gifmsg::ClipboardRefused);
}
