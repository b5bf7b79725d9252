#pragma once
// The metafile targets: one kind each, played by the loader the thumbnail
// uses, so that each campaign spends its time in one player. The players
// run in this process, not in the program's helper, so that the sanitizers
// see inside them and every guard in front of them is tried.
#include "imaging/Loaders.h"
#include "imaging/MetafileHelper.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Exception.h"

namespace fuzz {

// The EMF header's record type 1 and its " EMF" signature at offset 40.
inline bool LooksEnhanced(const uint8_t* data, size_t size)
{
    return size >= 44 && data[0] == 1 && data[40] == 0x20 && data[41] == 0x45 && data[42] == 0x4D && data[43] == 0x46;
}

inline int PlayMetafile(const uint8_t* data, size_t size, bool enhanced)
{
    if (LooksEnhanced(data, size) != enhanced)
        return 0;
    EnsureGuiApplication();
    SetMetafilePlayback(MetafilePlayback::InProcess);
    try {
        TMemoryStream stream = StreamOf(data, size);
        TBitmap bitmap;
        LoadMetafileFromStream(stream, bitmap);
    } catch (const Exception&) {
    }
    return 0;
}

} // namespace fuzz
