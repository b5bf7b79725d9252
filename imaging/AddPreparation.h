#pragma once
// Files being added to a vault, prepared on worker threads a bounded
// number ahead of the thread that stores them: each is loaded as a picture
// (its natural size), proved an image by making its thumbnail as the list
// does, and compressed as the store keeps it. The window's Add and glimmerbox-vault add both go
// through here, and both store the results in the order of the files.
#include "imaging/ThumbnailCache.h"
#include "platform/WorkerPool.h"

#include <QSize>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

// What a worker learns about one file.
struct TAddJob {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> packed;
    // A failure to read the file for compressing is raised only when the
    // record is written, as the store raised it: a file that is skipped
    // never reports it.
    std::exception_ptr packError;

    // The compressed bytes, moved out; raises the compression's failure.
    std::vector<uint8_t> TakePacked();
};

// Where the thumbnail of a decoded file goes: nowhere without a cache.
struct TAddThumbnails {
    TThumbnailCache* cache = nullptr;
    QSize size;
    TThumbnailScope scope; // the vault the files go into
};

// Loads the file as a picture by its extension (its natural size), raising
// "Unknown picture file extension (.%s)", the decoder's message or the
// "Cannot open file" error; proves it an image by making its thumbnail as
// the list does (MakeThumbnail), raising what that raises; then compresses
// it and feeds the cache. Thread-safe.
void PrepareAdd(TAddJob& job, const std::string& path, const TAddThumbnails& thumbnails = {});

class TAddPreparation {
public:
    // threads as TWorkerPool takes them (0: each file is prepared when taken).
    TAddPreparation(std::vector<std::string> paths, int threads, TAddThumbnails thumbnails = {});
    TAddPreparation(const TAddPreparation&) = delete;
    TAddPreparation& operator=(const TAddPreparation&) = delete;

    // Waits for the next file in order (calling idle while it waits) and
    // moves its result out, having started the files after it; raises what
    // loading it raised. Once per file.
    TAddJob Next(const std::function<void()>& idle = {});

private:
    const std::vector<std::string> paths_;
    const TAddThumbnails thumbnails_;
    std::vector<TAddJob> jobs_;
    std::vector<TWorkerPool::TTicket> tickets_;
    size_t taken_ = 0;
    size_t submitted_ = 0;
    TWorkerPool pool_; // last: its workers stop before the jobs they fill go
    size_t ahead_;
};
