#pragma once
// The thumbnail of a JPEG without a full-size decode: from the embedded
// EXIF thumbnail when that shows the same picture at least as large as the
// thumbnail, else from the photo decoded at the smallest of libjpeg's DCT
// scales that still covers the thumbnail. Either way upright, and placed
// where the fit of the full-size photo puts it.
#include "imaging/LoadersJpeg.h"
#include "platform/Bitmap.h"

#include <cstdint>
#include <span>

class TStream;

// The decode covers this many times the thumbnail's sides.
constexpr int kJpegThumbnailOversample = 1;

// A width x height thumbnail (white around the picture). Raises the
// decoder's message for a photo that cannot be decoded. With proven given,
// the photo itself is always decoded (the proof that it is an image, even
// when the embedded thumbnail gives the picture) and its upright size and
// orientation are put there.
TBitmap MakeJpegThumbnail(std::span<const uint8_t> bytes, int width, int height, TJpegShape* proven = nullptr);
// The same from a stream at the start of the JPEG's bytes.
TBitmap MakeJpegThumbnailFromStream(TStream& image, int width, int height);

// Whether an embedded thumbnail of tw x th shows a photo of w x h (the same
// aspect ratio within a pixel either way; letterboxed ones do not) at
// least at fw x fh.
bool EmbeddedThumbnailFits(int tw, int th, int w, int h, int fw, int fh);
