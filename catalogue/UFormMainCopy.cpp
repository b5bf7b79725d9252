// Copy: the first selected record on the clipboard, as other programs
// expect it.
#include "UFormMain.h"

#include "imaging/ImageKinds.h"
#include "gif/mygifimage.h"
#include "platform/Bitmap.h"
#include "platform/Cleanup.h"
#include "platform/Clipboard.h"
#include "platform/Exception.h"
#include "store/UDMMain.h"

#include <QApplication>

void TFormMain::ActImageCopyExecute()
{
    const std::vector<int> rows = SelectedRows();
    if (rows.empty())
        return;
    std::string name, kind;
    SplitItemCaption(rows.front(), name, kind);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    WithCleanup(
        [&] {
            if (!DMMain->LocateRecord(name, kind))
                return;
            if (!IsKnownKind(kind))
                throw Exception(kUnknownImageKind);
            const std::unique_ptr<TMemoryStream> stream = DMMain->CreateImageStream();
            // Every program takes a bitmap; a GIF record also goes as it is
            // stored, so that programs that read GIF keep its frames.
            TBitmap bitmap;
            KindOf(kind).Loader(*stream, bitmap);
            const bool gif = KindOf(kind).Letter == 'G';
            std::vector<TClipboardData> stored;
            if (gif)
                stored = {{GIFClipboardFormat, stream->Bytes()}, {GIFMimeType, stream->Bytes()}};
            if (!Clipboard().SetContent(&bitmap, stored))
                throw Exception(gif ? "Failed to store GIF on clipboard" : "Cannot open clipboard");
        },
        [] { QApplication::restoreOverrideCursor(); });
}
