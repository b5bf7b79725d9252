// The preview picture: the first selected record, through a scratch file
// named after it (from memory when the vault is encrypted).
#include "UFormMain.h"

#include "imaging/ImageKinds.h"
#include "ImagePreview.h"
#include "imaging/ShownPicture.h"
#include "platform/Cleanup.h"
#include "platform/Paths.h"
#include "platform/Stream.h"
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
            // The bytes just written, decoded as the viewer decodes them; a
            // JPEG only as large as the pane shows it (the control decodes
            // again should the pane grow past that).
            ImgPreview->ShowPicture(
                MakeShownPicture(std::make_shared<const std::vector<uint8_t>>(image->TakeBytes()), kind, ImgPreview->size()));
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
