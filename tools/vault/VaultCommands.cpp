// The commands of glimmerbox-vault on an open vault.
#include "VaultTool.h"

#include "imaging/AddPreparation.h"
#include "imaging/ImageFiles.h"
#include "imaging/ImageKinds.h"
#include "imaging/Loaders.h"
#include "imaging/Thumbnail.h"
#include "platform/Bitmap.h"
#include "platform/Exception.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "store/UDMMain.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cctype>
#include <set>

namespace vaulttool {

namespace {

// The thumbnail size check proves images at: the list's first size.
constexpr int kCheckSide = 32;

// The program's messages break lines with "\r" (the window's convention).
std::string MessageText(const std::string& message)
{
    std::string text = message;
    std::replace(text.begin(), text.end(), '\r', '\n');
    return text;
}

bool IsPasswordRecord(TDMMain& store) { return store.CDSImageType.AsString() == std::string(1, PasswordKind); }

// The name the window shows and extracts a record under: "Sunset.jpg".
std::string ItemFileName(TDMMain& store)
{
    return store.CDSFileName.AsString() + ShownExtensionOf(store.CDSImageType.AsString());
}

void WriteJson(const TOutput& io, const QJsonDocument& doc)
{
    std::fputs(doc.toJson(QJsonDocument::Indented).constData(), io.out);
}

} // namespace

void ReportError(const TOutput& io, const std::string& what, const std::string& message)
{
    const std::string text = MessageText(message);
    if (what.empty())
        std::fprintf(io.err, "glimmerbox-vault: %s\n", text.c_str());
    else
        std::fprintf(io.err, "glimmerbox-vault: %s: %s\n", EscapeLine(what).c_str(), text.c_str());
}

std::string EscapeLine(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c < 0x20 || c == 0x7F)
                out += Format("\\x%02X", c);
            else
                out += static_cast<char>(c);
        }
    }
    return out;
}

bool SplitImageFileName(const std::string& text, std::string& name, std::string& kind)
{
    const size_t dot = text.rfind('.');
    if (dot == std::string::npos || dot == 0 || !IsAcceptedImageFile(text))
        return false;
    name = text.substr(0, dot);
    kind = std::string(1, KindLetterOfFile(text));
    return true;
}

// ---- list, stat ------------------------------------------------------------------

int ListImages(TDMMain& store, const TOutput& io, bool json)
{
    QJsonArray records;
    TVaultTable& cds = store.CDS;
    for (cds.First(); !cds.Eof(); cds.Next()) {
        if (IsPasswordRecord(store))
            continue;
        const std::string name = store.CDSFileName.AsString();
        const std::string kind = store.CDSImageType.AsString();
        const int width = store.CDSDimX.AsInteger();
        const int height = store.CDSDimY.AsInteger();
        const int64_t bytes = store.CDSImage.BlobSize();
        if (json) {
            QJsonObject record;
            record["name"] = QString::fromStdString(name);
            record["kind"] = QString::fromStdString(kind);
            record["file"] = QString::fromStdString(ItemFileName(store));
            record["width"] = width;
            record["height"] = height;
            record["storedBytes"] = static_cast<qint64>(bytes);
            records.append(record);
        } else {
            std::fprintf(io.out, "%s\t%s\t%d\t%d\t%lld\n", EscapeLine(ItemFileName(store)).c_str(), EscapeLine(kind).c_str(),
                         width, height, static_cast<long long>(bytes));
        }
    }
    if (json)
        WriteJson(io, QJsonDocument(records));
    return Success;
}

int ShowStatistic(TDMMain& store, const TOutput& io, bool json)
{
    TVaultTable copy("CDS2");
    const std::vector<int64_t> counts = CountImagesPerKind(store.CDS, copy);
    QJsonObject object;
    for (size_t i = 0; i < counts.size(); ++i) {
        const TImageKind& kind = ImageKinds()[i];
        if (json)
            object[QString(QChar(kind.Letter))] = static_cast<qint64>(counts[i]);
        else
            std::fprintf(io.out, "%-20s %lld\n", kind.StatisticLabel.c_str(), static_cast<long long>(counts[i]));
    }
    if (json)
        WriteJson(io, QJsonDocument(object));
    return Success;
}

// ---- add -------------------------------------------------------------------------

int AddImages(TDMMain& store, const TOutput& io, const std::vector<std::string>& paths, bool replace, int threads)
{
    const TImageFileWalk walk = CollectImageFiles(paths);
    for (const std::string& path : walk.missing)
        ReportError(io, path, "No such file or folder.");
    int failed = static_cast<int>(walk.missing.size());
    const std::vector<std::string>& files = walk.files;
    const size_t n = files.size();
    // Decoded and compressed on the workers, a few files ahead; looked up,
    // stored and reported here, in the order of the files.
    TAddPreparation prepared(files, threads);
    for (size_t i = 0; i < n; ++i) {
        const std::string& path = files[i];
        if (io.progress) {
            std::fprintf(io.err, "\rAdding new images... (%d%% of %d)", static_cast<int>((i + 1) * 100 / n), static_cast<int>(n));
            std::fflush(io.err);
        }
        const char* done = "added";
        try {
            TAddJob job = prepared.Next();
            const std::string kind(1, KindLetterOfFile(path));
            const std::string name = NameWithoutExt(path);
            const bool found = store.LocateImageToReplace(name, kind);
            if (found && !replace) {
                const std::string stored = store.CDSFileName.AsString();
                if (stored == name) {
                    std::fprintf(io.out, "skipped (already in the vault): %s\n", EscapeLine(path).c_str());
                    continue;
                }
                // Another image whose name differs only in letter case: this
                // file is not in the vault, and saying it is would lose it.
                throw Exception(Format("Not stored: the vault holds \"%s\", whose name differs only in letter case; "
                                       "add with --replace to replace it.",
                                       (stored + ShownExtensionOf(kind)).c_str()));
            }
            store.StorePackedImage(found, name, kind, job.width, job.height, job.TakePacked());
            if (found)
                done = "replaced";
        } catch (const std::exception& e) {
            if (io.progress)
                std::fputs("\n", io.err);
            ReportError(io, path, e.what());
            ++failed;
            continue;
        }
        std::fprintf(io.out, "%s: %s\n", done, EscapeLine(path).c_str());
    }
    if (io.progress && n > 0)
        std::fputs("\n", io.err);
    return failed ? Failure : Success;
}

// ---- extract, remove, rename -------------------------------------------------------

namespace {

// The kind letters a NAME.EXT argument may mean: the kind of a known
// extension, or for a one-character extension the letter itself (how a
// record of a kind we do not know is shown: "x.p").
std::vector<std::string> KindsNamed(const std::string& text, std::string& name)
{
    std::string kind;
    if (SplitImageFileName(text, name, kind))
        return {kind};
    const size_t dot = text.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 2 != text.size())
        return {};
    name = text.substr(0, dot);
    const char c = text[dot + 1];
    const std::string upper(1, static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    const std::string lower(1, static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return upper == lower ? std::vector<std::string>{upper} : std::vector<std::string>{upper, lower};
}

// Finds the record a NAME.EXT argument names: the record of exactly that
// name first; else the one record whose name differs only in letter case.
// When several differ only so, none is taken. Reports and returns false
// when no record is found.
bool LocateNamed(TDMMain& store, const TOutput& io, const std::string& text)
{
    std::string name;
    const std::vector<std::string> kinds = KindsNamed(text, name);
    if (kinds.empty()) {
        ReportError(io, text, "Name the image with the extension of its kind (.bmp, .ico, .emf, .wmf, .gif, .jpg, .png, .webp, .tif, .heic, .avif).");
        return false;
    }
    for (const std::string& kind : kinds)
        if (store.LocateRecord(name, kind))
            return true;
    const std::string& kind = kinds.front();
    std::vector<std::string> alike;
    TVaultTable& cds = store.CDS;
    for (cds.First(); !cds.Eof(); cds.Next())
        if (store.CDSImageType.AsString() == kind && SameText(store.CDSFileName.AsString(), name))
            alike.push_back(store.CDSFileName.AsString());
    if (alike.size() == 1 && store.LocateRecord(alike.front(), kind))
        return true;
    if (alike.size() > 1) {
        ReportError(io, text, Format("%d images have this name in other letter cases; name one of them exactly.",
                                     static_cast<int>(alike.size())));
        return false;
    }
    ReportError(io, text, "There is no such image in the vault.");
    return false;
}

} // namespace

int ExtractImages(TDMMain& store, const TOutput& io, const std::vector<std::string>& names, const std::string& folder)
{
    if (!QDir().mkpath(QString::fromStdString(folder))) {
        ReportError(io, folder, "Cannot create the folder.");
        return Failure;
    }
    const std::string dir = IncludeTrailingSeparator(folder);
    int failed = 0;
    std::set<std::string> written;
    auto extractCurrent = [&] {
        const std::string target = dir + RecordFileName(store.CDSFileName.AsString(), store.CDSImageType.AsString());
        // Two records whose names are made the same file name: the second
        // would silently overwrite what the first just wrote.
        if (!written.insert(target).second) {
            ReportError(io, ItemFileName(store), "Another image of this run was already extracted to \"" + target + "\"; not overwritten.");
            ++failed;
            return;
        }
        try {
            store.SaveImageToFile(target);
            std::fprintf(io.out, "extracted: %s\n", EscapeLine(target).c_str());
        } catch (const std::exception& e) {
            ReportError(io, ItemFileName(store), e.what());
            ++failed;
        }
    };
    if (names.empty()) {
        TVaultTable& cds = store.CDS;
        for (cds.First(); !cds.Eof(); cds.Next())
            if (!IsPasswordRecord(store))
                extractCurrent();
    } else {
        for (const std::string& text : names) {
            if (LocateNamed(store, io, text))
                extractCurrent();
            else
                ++failed;
        }
    }
    return failed ? Failure : Success;
}

int RemoveImages(TDMMain& store, const TOutput& io, const std::vector<std::string>& names)
{
    int failed = 0;
    for (const std::string& text : names) {
        if (!LocateNamed(store, io, text)) {
            ++failed;
            continue;
        }
        const std::string removed = ItemFileName(store);
        store.CDS.Delete();
        std::fprintf(io.out, "removed: %s\n", EscapeLine(removed).c_str());
    }
    return failed ? Failure : Success;
}

int RenameImage(TDMMain& store, const TOutput& io, const std::string& oldName, const std::string& newName)
{
    if (!LocateNamed(store, io, oldName))
        return Failure;
    const std::string name = store.CDSFileName.AsString();
    const std::string kind = store.CDSImageType.AsString();
    const std::string oldFile = ItemFileName(store);
    try {
        const std::string stored = store.CheckNewImageName(newName, kind);
        store.RenameImage(name, kind, stored);
        std::fprintf(io.out, "renamed: %s -> %s\n", EscapeLine(oldFile).c_str(),
                     EscapeLine(stored + ShownExtensionOf(kind)).c_str());
    } catch (const std::exception& e) {
        ReportError(io, oldName, e.what());
        return Failure;
    }
    return Success;
}

// ---- check -------------------------------------------------------------------------

int CheckImages(TDMMain& store, const TOutput& io)
{
    int checked = 0;
    int damaged = 0;
    TVaultTable& cds = store.CDS;
    for (cds.First(); !cds.Eof(); cds.Next()) {
        if (IsPasswordRecord(store))
            continue;
        ++checked;
        try {
            // Judged as the window's list and every add judge an image.
            const std::string type = store.CDSImageType.AsString();
            if (!IsKnownKind(type))
                throw Exception(kUnknownImageKind);
            const std::unique_ptr<TMemoryStream> bytes = store.CreateImageStream();
            MakeThumbnail(*bytes, type[0], kCheckSide, kCheckSide);
            // The thumbnail reads an animation's first frame only; add
            // refuses damage in any frame, and so does check.
            if (KindOf(type).Letter == 'G') {
                bytes->SetPosition(0);
                TBitmap whole;
                LoadGifFromStream(*bytes, whole);
            }
        } catch (const std::exception& e) {
            std::fprintf(io.out, "%s: %s\n", EscapeLine(ItemFileName(store)).c_str(), EscapeLine(MessageText(e.what())).c_str());
            ++damaged;
        }
    }
    std::fprintf(io.err, "%d images checked, %d damaged.\n", checked, damaged);
    return damaged ? Failure : Success;
}

} // namespace vaulttool
