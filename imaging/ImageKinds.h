#pragma once
// The image kinds of the vault: the letter stored in a record's ImageType,
// the extensions that give it, the extension a record is shown and written
// with, its natural-size loader, its filter expression and statistic label.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TStream;
class TBitmap;
class TVaultTable;

using ImageKind = char;

// Fills a caller-owned bitmap with the image at its natural size.
using TImageLoader = void (*)(TStream& stream, TBitmap& bitmap);
// The TIFF-structured EXIF block of a file's bytes (from its "II"/"MM"
// header on); empty when there is none. Never raises.
using TExifFinder = std::vector<uint8_t> (*)(const uint8_t* data, size_t size);

struct TImageKind {
    ImageKind Letter;
    std::vector<std::string> Extensions; // accepted on add, with the dot, lower case
    std::string ShownExtension;          // ".jpg" for J
    TImageLoader Loader;
    std::string FilterExpression;        // " ImageType='B' "
    std::string StatisticLabel;          // "Bitmaps:"
    TExifFinder FindExif = nullptr;      // kinds whose files carry EXIF
};

// The letter of the password record: never an image.
constexpr ImageKind PasswordKind = '\\';

// The kinds in the order B, I, E, W, J, G, then the newer P (PNG), V (WebP),
// T (TIFF), H (HEIF: .heic, .heif), A (AVIF).
const std::vector<TImageKind>& ImageKinds();
// The kind of a letter; any letter that is not one of the kinds (the
// password letter included) is treated as a bitmap.
const TImageKind& KindOf(ImageKind letter);
inline const TImageKind& KindOf(const std::string& imageType) { return KindOf(imageType.empty() ? 'B' : imageType[0]); }
// False only for the password letter.
inline bool IsImageKind(ImageKind letter) { return letter != PasswordKind; }
// Whether the letter is one of ImageKinds(): a record of any other letter
// (from a vault made elsewhere) is an image nobody here can decode.
bool IsKnownKind(ImageKind letter);
inline bool IsKnownKind(const std::string& imageType) { return imageType.size() == 1 && IsKnownKind(imageType[0]); }
// The message for a record of such a letter.
inline constexpr const char* kUnknownImageKind = "Unknown image kind";
// The extension a record is shown, extracted and previewed with: its
// kind's, or for an unknown letter the letter itself in lower case (".p"),
// so that it never passes for a bitmap; ".dat" when the letter is no
// letter or digit.
std::string ShownExtensionOf(const std::string& imageType);
// The letter of a file being added: the kind whose extensions hold the
// file's (in any letter case; ".jpeg" and ".jpg" both give J, ".webp" V);
// for any other extension its first character, upper-cased; 0 when it has
// none.
ImageKind KindLetterOfFile(const std::string& path);
// The letter of a shown extension (".webp" gives V, ".jpg" J); any other
// text gives its first character after the dot, upper-cased, as a caption's
// extension always did.
ImageKind KindOfShownExtension(const std::string& extension);
// Whether a file's extension is one that can be added.
bool IsAcceptedImageFile(const std::string& path);
// The raw EXIF block of a record's bytes, by its kind; empty when the kind
// or the file has none.
std::vector<uint8_t> FindExifBlock(ImageKind kind, const uint8_t* data, size_t size);

// The file name without its directory and without its last extension:
// "C:\pics\my.cat.jpeg" gives "my.cat".
std::string NameWithoutExt(const std::string& path);

// The statistic's filter expression of a kind: " ImageType = 'B' ".
std::string StatisticFilter(char kind);
// How many records of each kind the table holds, in the order of
// ImageKinds(), whatever the table's own filter: counted in copy (given a
// complete copy of the data, closed again at the end), one kind filter at a
// time. The password record is in no kind.
std::vector<int64_t> CountImagesPerKind(TVaultTable& table, TVaultTable& copy);

// The file a record is written to (preview scratch file, extraction): its
// name made safe for a file name, plus ShownExtensionOf its kind. The
// stored name itself is never changed.
std::string RecordFileName(const std::string& name, const std::string& imageType);
