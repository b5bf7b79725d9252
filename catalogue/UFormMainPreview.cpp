// The preview picture: the first selected record, through a scratch file
// named after it.
#include "UFormMain.h"

#include "ImageKinds.h"
#include "ImagePreview.h"
#include "Loaders.h"
#include "gif/mygifimage.h"
#include "platform/Bitmap.h"
#include "platform/Cleanup.h"
#include "platform/Paths.h"
#include "platform/Picture.h"
#include "platform/RasterOps.h"
#include "store/UDMMain.h"

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
    const std::string tempFile = TempDir + name + KindOf(kind).ShownExtension;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    WithCleanup(
        [&] {
            if (!DMMain->LocateImage(name, kind))
                return;
            DMMain->SaveImageToFile(tempFile);
            TBitmap bitmap;
            const bool drawsItself = !kind.empty() && kind[0] == 'G';
            if (drawsItself) {
                // The control keeps the GIF and draws through it, so an
                // animation plays.
                auto gif = std::make_unique<TMyGIFImage>();
                gif->LoadFromFile(tempFile);
                ImgPreview->SetGraphic(std::move(gif));
            } else if (!kind.empty() && kind[0] == 'I') {
                // Drawn on white at its natural size, so it scales like the others.
                LoadIconFromFile(tempFile, bitmap);
            } else {
                TPicture picture;
                picture.LoadFromFile(tempFile);
                bitmap.SetSize(picture.Width(), picture.Height());
                if (!bitmap.Empty())
                    picture.Graphic()->Draw(bitmap, Rect(0, 0, picture.Width(), picture.Height()));
            }
            if (!drawsItself)
                ImgPreview->SetPicture(bitmap.ToQImage());
            ImgPreview->setVisible(true);
            DeleteFile(tempFile);
            txtName->setText(QString::fromStdString(ExtractFileName(tempFile)));
        },
        [] { QApplication::restoreOverrideCursor(); });
}
