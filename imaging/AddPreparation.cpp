#include "imaging/AddPreparation.h"

#include "imaging/ImageKinds.h"
#include "imaging/Loaders.h"
#include "imaging/LoadersJpeg.h"
#include "imaging/ThumbnailJpeg.h"
#include "imaging/Thumbnail.h"
#include "platform/Paths.h"
#include "platform/Picture.h"
#include "platform/Stream.h"
#include "platform/Text.h"
#include "store/UDMMain.h"

#include <algorithm>
#include <optional>
#include <span>
#include <stdexcept>

std::vector<uint8_t> TAddJob::TakePacked()
{
    if (packError)
        std::rethrow_exception(packError);
    return std::move(packed);
}

namespace {

// The size a file is proved at when no thumbnail is kept: the list's first size.
constexpr int kProofSide = 32;

// A JPEG is read once and decoded only as large as its thumbnail needs:
// that decode proves it, its header gives the size, the same bytes are
// compressed.
void PrepareJpegAdd(TAddJob& job, const std::string& path, const TAddThumbnails& thumbnails)
{
    TMemoryStream file;
    file.LoadFromFile(path);
    const std::span<const uint8_t> bytes(file.Memory(), static_cast<size_t>(file.Size()));
    TJpegShape shape;
    // The proof is the list's own thumbnail, made at the list's size when
    // the thumbnail is kept.
    const bool keep = thumbnails.cache && !thumbnails.size.isEmpty();
    const int w = keep ? thumbnails.size.width() : kProofSide;
    const int h = keep ? thumbnails.size.height() : kProofSide;
    const QImage thumbnail = MakeJpegThumbnail(bytes, w, h, &shape).ToQImage();
    job.width = shape.width;
    job.height = shape.height;
    TMemoryStream packed;
    CompressStream(file, packed);
    job.packed = packed.TakeBytes();
    if (keep)
        thumbnails.cache->Put(ThumbnailKeyOfPacked(job.packed, 'J', w, h, thumbnails.scope), thumbnail);
}

} // namespace

void PrepareAdd(TAddJob& job, const std::string& path, const TAddThumbnails& thumbnails)
{
    RegisterCatalogueGraphics();
    if (KindLetterOfFile(path) == 'J') {
        PrepareJpegAdd(job, path, thumbnails);
        return;
    }
    TPicture picture;
    picture.LoadFromFile(path);
    job.width = picture.Width();
    job.height = picture.Height();
    TMemoryStream bytes;
    try {
        bytes.LoadFromFile(path);
    } catch (const std::exception&) {
        job.packError = std::current_exception();
        return;
    }
    // The proof: its thumbnail is made exactly as the list will make it, so
    // nothing is stored that the list would call broken.
    const bool keep = thumbnails.cache && !thumbnails.size.isEmpty();
    const int w = keep ? thumbnails.size.width() : kProofSide;
    const int h = keep ? thumbnails.size.height() : kProofSide;
    const TBitmap thumbnail = MakeThumbnail(bytes, KindLetterOfFile(path), w, h);
    try {
        TMemoryStream packed;
        CompressStream(bytes, packed);
        job.packed = packed.TakeBytes();
    } catch (const std::exception&) {
        job.packError = std::current_exception();
        return;
    }
    if (keep)
        thumbnails.cache->Put(ThumbnailKeyOfPacked(job.packed, KindLetterOfFile(path), w, h, thumbnails.scope), thumbnail.ToQImage());
}

TAddPreparation::TAddPreparation(std::vector<std::string> paths, int threads, TAddThumbnails thumbnails)
    : paths_(std::move(paths)),
      thumbnails_(thumbnails),
      jobs_(paths_.size()),
      tickets_(paths_.size()),
      pool_(threads),
      // Enough to keep every worker busy while the caller stores; few
      // enough that the compressed files waiting stay a small amount.
      ahead_(static_cast<size_t>(4 * std::max(1, pool_.Threads())))
{
}

TAddJob TAddPreparation::Next(const std::function<void()>& idle)
{
    const size_t n = paths_.size();
    if (taken_ >= n)
        throw std::logic_error("every file was taken");
    const size_t i = taken_++;
    for (; submitted_ < std::min(n, i + 1 + ahead_); ++submitted_)
        tickets_[submitted_] = pool_.Submit([this, k = submitted_] { PrepareAdd(jobs_[k], paths_[k], thumbnails_); });
    TWorkerPool::TTicket ticket = std::move(tickets_[i]);
    pool_.Wait(ticket, idle);
    return std::move(jobs_[i]);
}
