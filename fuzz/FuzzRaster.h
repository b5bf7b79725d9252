#pragma once
// The body the targets of the library-decoded kinds share: the decoder on
// the input, every frame of an animation included, then the EXIF finder.
#include "imaging/ImageKinds.h"
#include "imaging/LoadersRaster.h"
#include "platform/Exception.h"

namespace fuzz {

inline int DecodeRaster(TRasterDecoder decoder, ImageKind kind, const uint8_t* data, size_t size)
{
    try {
        TDecodedPicture picture;
        decoder(data, size, picture, true);
    } catch (const Exception&) {
    }
    (void)FindExifBlock(kind, data, size);
    return 0;
}

} // namespace fuzz
