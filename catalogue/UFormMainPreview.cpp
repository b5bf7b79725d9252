// The preview picture: the first selected record, through a scratch file
// named after it (from memory when the vault is encrypted).
#include "UFormMain.h"

#include "imaging/GifExport.h"
#include "imaging/ImageKinds.h"
#include "ImagePreview.h"
#include "imaging/Loaders.h"
#include "imaging/LoadersJpeg.h"
#include "imaging/LoadersMetafile.h"
#include "gif/mygifimage.h"
#include "platform/Bitmap.h"
#include "platform/Cleanup.h"
#include "platform/Paths.h"
#include "platform/Picture.h"
#include "platform/RasterOps.h"
#include "store/UDMMain.h"
#include "widgets/Prompts.h"

#include <QApplication>
#include <QLabel>
#include <QListWidget>

void TFormMain::UpdatePreview()
{
    txtName->clear();
    const std::vector<int> rows = SelectedRows();
    if (rows.empty() || !DMMain || !DMMain->Active()) {
        ImgPreview->ClearPicture();
        return;
    }
    // The previous picture goes first: its animation stops at once, and a
    // record that cannot be shown leaves no other record's picture behind.
    ImgPreview->ClearPicture();
    std::string name, kind;
    SplitItemCaption(rows.front(), name, kind);
    // A record that cannot be shown says why in the pane, not in a box per click.
    const auto showBroken = [&](const std::string& message) {
        ImgPreview->SetMessage(QString::fromStdString(QtLineBreaks(message)));
        ImgPreview->setVisible(true);
        txtName->setText(QString::fromStdString(name + ShownExtensionOf(kind)));
    };
    if (const std::string broken = ItemBrokenMessage(rows.front()); !broken.empty()) {
        showBroken(broken);
        return;
    }
    std::string tempFile;
    bool reading = false;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    try {
    WithCleanup(
        [&] {
            if (!DMMain->LocateRecord(name, kind))
                return;
            ++PreviewDecodes;
            // An encrypted record is shown from memory: nothing of it is
            // written outside the vault.
            const bool fromMemory = DMMain->Encrypted();
            if (!fromMemory)
                tempFile = ScratchFolder() + RecordFileName(name, kind);
            reading = true;
            if (!IsKnownKind(kind))
                throw Exception(kUnknownImageKind);
            // A scratch file in the window's own folder: written straight,
            // without the synced replace that protects an extracted file.
            const std::unique_ptr<TMemoryStream> image = DMMain->CreateImageStream();
            if (!fromMemory)
                image->SaveToFile(tempFile);
            const auto rewound = [&]() -> TMemoryStream& {
                image->SetPosition(0);
                return *image;
            };
            TBitmap bitmap;
            const bool scalable = KindOf(kind).Letter == 'J';
            // An animation of another kind plays as a GIF made of its frames.
            std::unique_ptr<TMyGIFImage> gif;
            if (!kind.empty() && !scalable)
                gif = fromMemory ? LoadAnimationAsGif(image->Bytes(), kind[0]) : LoadAnimationAsGif(tempFile, kind[0]);
            const bool drawsItself = (!kind.empty() && kind[0] == 'G') || gif;
            if (scalable) {
                // Decoded only as large as the pane shows it; the control
                // decodes again should the pane grow past that.
                ShowJpegPreview(std::make_shared<const std::vector<uint8_t>>(image->TakeBytes()));
            } else if (drawsItself) {
                // The control keeps the GIF and draws through it, so an
                // animation plays.
                if (!gif) {
                    gif = std::make_unique<TMyGIFImage>();
                    if (fromMemory)
                        gif->LoadFromStream(rewound());
                    else
                        gif->LoadFromFile(tempFile);
                }
                ImgPreview->SetGraphic(std::move(gif));
            } else if (!kind.empty() && kind[0] == 'I') {
                // Drawn on white at its natural size, so it scales like the others.
                if (fromMemory)
                    LoadIconFromStream(rewound(), bitmap);
                else
                    LoadIconFromFile(tempFile, bitmap);
            } else {
                TPicture picture;
                if (fromMemory)
                    picture.LoadFromStream(rewound(), KindOf(kind).ShownExtension);
                else
                    picture.LoadFromFile(tempFile);
                int w = picture.Width(), h = picture.Height();
                // A metafile is drawn as big as its thumbnail may be, not
                // at a natural size that may not fit in memory.
                if (dynamic_cast<const TMetafile*>(picture.Graphic()))
                    MetafileBitmapSize(w, h, w, h);
                bitmap.SetSize(w, h);
                if (!bitmap.Empty())
                    picture.Graphic()->Draw(bitmap, Rect(0, 0, w, h));
            }
            if (!drawsItself && !scalable)
                ImgPreview->SetPicture(bitmap.ToQImage());
            ImgPreview->setVisible(true);
            if (!tempFile.empty())
                DeleteFile(tempFile);
            // The record's own name, as the list shows it.
            txtName->setText(QString::fromStdString(name + ShownExtensionOf(kind)));
        },
        [] { QApplication::restoreOverrideCursor(); });
    } catch (const std::exception& e) {
        // Without a scratch folder nothing was read: that goes to the error box.
        if (!reading)
            throw;
        if (!tempFile.empty())
            DeleteFile(tempFile);
        showBroken(e.what());
    }
}

void TFormMain::ShowJpegPreview(std::shared_ptr<const std::vector<uint8_t>> bytes)
{
    TJpegShape shape;
    if (!ReadJpegShape(*bytes, shape)) {
        TBitmap fails;
        DecodeJpeg(*bytes, fails); // raises the decoder's message
    }
    const auto decodeAt = [bytes](int w, int h) {
        TBitmap bitmap;
        DecodeJpeg(*bytes, bitmap, TJpegScale{std::max(w, 1), std::max(h, 1)});
        return bitmap.ToQImage();
    };
    const QRect fit = FitPreviewRect(shape.width, shape.height, ImgPreview->width(), ImgPreview->height());
    ImgPreview->SetScaledPicture(decodeAt(fit.width(), fit.height()), QSize(shape.width, shape.height), decodeAt);
}
