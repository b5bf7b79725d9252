#include "store/UDMMain.h"

#include "platform/Text.h"

#include <QString>

#include <algorithm>
#include <memory>
#include <vector>

TDMMain* DMMain = nullptr;

TDMMain::TDMMain()
    : CDS("CDS"),
      CDSFileName(CDS.FieldFileName()),
      CDSDimX(CDS.FieldDimX()),
      CDSDimY(CDS.FieldDimY()),
      CDSImage(CDS.FieldImage()),
      CDSImageType(CDS.FieldImageType())
{
}

void TDMMain::SetActive(bool value)
{
    if (!value) {
        CDS.Close();
        return;
    }
    if (CDS.Active())
        return;
    CDS.Open();
    CDS.SetLogChanges(false);
}

void TDMMain::CreateNewTable()
{
    CDS.Close();
    CDS.SetFileName("");
    CDS.CreateDataSet();
    CDS.SetLogChanges(true);
}

void TDMMain::LoadImageFromFile(const std::string& path)
{
    // The zlib stream: the table seals it as the record is posted, when the
    // vault is encrypted (its name and kind are known only then).
    TFileStream file(path, FileMode::OpenRead);
    TMemoryStream packed;
    CompressStream(file, packed);
    CDSImage.SetBytes(packed.TakeBytes());
}

std::vector<uint8_t> TDMMain::StoredImage()
{
    TMemoryStream stored;
    CDSImage.SaveToStream(stored);
    return stored.TakeBytes();
}

void TDMMain::SaveImageToFile(const std::string& path)
{
    // Inflated into a file beside the target that replaces it only when
    // complete: a damaged blob or a full disk leaves an existing file whole.
    std::vector<uint8_t> stored = StoredImage();
    WriteFileSafely(path, [&](TStream& file) {
        CDS.BlobCodec().Unpack(std::move(stored), CDSFileName.AsString(), CDSImageType.AsString(), file);
    });
}

std::unique_ptr<TMemoryStream> TDMMain::CreateImageStream()
{
    auto result = std::make_unique<TMemoryStream>();
    CDS.BlobCodec().Unpack(StoredImage(), CDSFileName.AsString(), CDSImageType.AsString(), *result,
                           kMaxInflatedImage);
    result->SetPosition(0);
    return result;
}

bool TDMMain::LocateImage(const std::string& name, const std::string& kind)
{
    return CDS.Locate("FileName;ImageType", {name, kind}, true);
}

bool TDMMain::LocateRecord(const std::string& name, const std::string& kind)
{
    return CDS.Locate("FileName;ImageType", {name, kind}, false);
}

void TDMMain::DeleteImage(const std::string& name, const std::string& kind)
{
    if (LocateRecord(name, kind))
        CDS.Delete();
}

void TDMMain::RenameImage(const std::string& name, const std::string& kind, const std::string& newName)
{
    if (!LocateRecord(name, kind))
        return;
    CheckImageNameLength(newName);
    CDS.Edit();
    try {
        CDSFileName.SetAsString(newName);
        CDS.Post();
    } catch (...) {
        // Leave the table in browse state, as every other operation does.
        CDS.Cancel();
        throw;
    }
}

void CheckImageNameLength(const std::string& name)
{
    // Refused rather than cut: a cut name could merge two files into one record.
    if (name.size() > kVaultNameBytes)
        throw Exception(Format("The image name is too long: %zu bytes, and a vault keeps at most %zu (UTF-8).",
                               name.size(), kVaultNameBytes));
}

bool TDMMain::LocateImageToReplace(const std::string& name, const std::string& kind)
{
    CheckImageNameLength(name);
    return LocateImage(name, kind);
}

void TDMMain::StoreImageRecord(bool replace, const std::string& name, const std::string& kind, int width, int height,
                               const std::function<void()>& setImage)
{
    CheckImageNameLength(name);
    if (replace)
        CDS.Edit();
    else
        CDS.Append();
    try {
        CDSFileName.SetAsString(name);
        CDSDimX.SetAsInteger(width);
        CDSDimY.SetAsInteger(height);
        setImage();
        CDSImageType.SetAsString(kind);
        CDS.Post();
    } catch (...) {
        CDS.Cancel(); // nothing half-added
        throw;
    }
}

void TDMMain::StoreImageFile(bool replace, const std::string& name, const std::string& kind, int width, int height,
                             const std::string& path)
{
    StoreImageRecord(replace, name, kind, width, height, [&] { LoadImageFromFile(path); });
}

void TDMMain::StorePackedImage(bool replace, const std::string& name, const std::string& kind, int width, int height,
                               std::vector<uint8_t> packed)
{
    StoreImageRecord(replace, name, kind, width, height, [&] { CDSImage.SetBytes(std::move(packed)); });
}

std::string TDMMain::CheckNewImageName(const std::string& newName, const std::string& kind)
{
    const std::string trimmed = QString::fromStdString(newName).trimmed().toStdString();
    // A separator is refused outright; other odd characters are kept and
    // only replaced in the file names built from the name.
    if (trimmed.empty() || trimmed.find_first_of("/\\") != std::string::npos)
        throw Exception("Invalid image name.");
    CheckImageNameLength(trimmed);
    if (LocateImage(trimmed, kind))
        throw Exception("Image name duplication.");
    return trimmed;
}

void AppendImageRecord(TDMMain& store, const std::string& name, int width, int height, const std::string& kind,
                       const std::vector<uint8_t>& bytes, bool compress)
{
    std::vector<uint8_t> stored = bytes;
    if (compress) {
        TMemoryStream image(bytes);
        TMemoryStream packed;
        CompressStream(image, packed);
        stored = packed.TakeBytes();
    }
    store.StorePackedImage(false, name, kind, width, height, std::move(stored));
}
