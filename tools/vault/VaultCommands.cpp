// The commands of glimmerbox-vault on an open vault.
#include "VaultTool.h"

#include "imaging/AddPreparation.h"
#include "imaging/ImageKinds.h"
#include "imaging/Loaders.h"
#include "platform/Bitmap.h"
#include "platform/Exception.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "store/UDMMain.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <set>

namespace vaulttool {

namespace {

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
    return store.CDSFileName.AsString() + KindOf(store.CDSImageType.AsString()).ShownExtension;
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

std::vector<std::string> CollectImageFiles(const TOutput& io, const std::vector<std::string>& paths, int& missing)
{
    std::vector<std::string> files;
    missing = 0;
    for (const std::string& path : paths) {
        const QFileInfo info(QString::fromStdString(path));
        if (info.isDir()) {
            std::vector<std::string> found;
            // Links to folders are not followed: no loops, no surprises
            // outside the folder named.
            QDirIterator it(info.filePath(), QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const std::string file = it.next().toStdString();
                if (IsAcceptedImageFile(file))
                    found.push_back(file);
            }
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else if (info.exists()) {
            files.push_back(path);
        } else {
            ReportError(io, path, "No such file or folder.");
            ++missing;
        }
    }
    return files;
}

int AddImages(TDMMain& store, const TOutput& io, const std::vector<std::string>& paths, bool replace, int threads)
{
    int failed = 0;
    const std::vector<std::string> files = CollectImageFiles(io, paths, failed);
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
                std::fprintf(io.out, "skipped (already in the vault): %s\n", EscapeLine(path).c_str());
                continue;
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

// Finds the record a NAME.EXT argument names; reports and returns false
// when there is none.
bool LocateNamed(TDMMain& store, const TOutput& io, const std::string& text)
{
    std::string name, kind;
    if (!SplitImageFileName(text, name, kind)) {
        ReportError(io, text, "Name the image with the extension of its kind (.bmp, .ico, .emf, .wmf, .gif, .jpg, .png, .webp, .tif, .heic, .avif).");
        return false;
    }
    if (!store.LocateImage(name, kind)) {
        ReportError(io, text, "There is no such image in the vault.");
        return false;
    }
    return true;
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
                     EscapeLine(stored + KindOf(kind).ShownExtension).c_str());
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
            const std::unique_ptr<TMemoryStream> bytes = store.CreateImageStream();
            TBitmap bitmap;
            KindOf(store.CDSImageType.AsString()).Loader(*bytes, bitmap);
        } catch (const std::exception& e) {
            std::fprintf(io.out, "%s: %s\n", EscapeLine(ItemFileName(store)).c_str(), EscapeLine(MessageText(e.what())).c_str());
            ++damaged;
        }
    }
    std::fprintf(io.err, "%d images checked, %d damaged.\n", checked, damaged);
    return damaged ? Failure : Success;
}

} // namespace vaulttool
