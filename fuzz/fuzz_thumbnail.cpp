// The thumbnail of one record: the first byte picks the kind (and whether
// the rest goes into the blob compressed, as the store writes it, or as it
// stands, like a damaged blob); the record is posted to an in-memory vault
// and the catalogue's thumbnail step runs on it.
#include "imaging/Loaders.h"
#include "imaging/Thumbnail.h"
#include "imaging/ThumbnailCache.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Exception.h"
#include "store/UDMMain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    fuzz::EnsureGuiApplication();
    RegisterCatalogueGraphics();
    // Metafiles are left to their own targets: the program plays them in a
    // helper process, which a crash of the players' libraries cannot take
    // down, and those targets fuzz the players in forked runs.
    static const char kKinds[] = {'B', 'I', 'J', 'G', 'P', 'V', 'T', 'H', 'A'};
    const ImageKind kind = kKinds[(data[0] & 0x7F) % sizeof kKinds];
    const bool raw = (data[0] & 0x80) != 0;
    try {
        TDMMain store;
        store.CreateNewTable();
        AppendImageRecord(store, "fuzz", 1, 1, std::string(1, kind), std::vector<uint8_t>(data + 1, data + size), !raw);
        store.CDS.First();
        (void)ThumbnailKeyOfRecord(store, 32, 32);
        TImageList large(32, 32);
        TImageList small(16, 16);
        AddRecordThumbnail(store, large, small);
    } catch (const Exception&) {
    }
    return 0;
}
