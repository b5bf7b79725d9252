// Vault files: open the input as a vault through the store (header and
// schema checks), then read every field of every record and inflate every
// image. The file is never written: the store is dropped unchanged.
#include "fuzz/FuzzSupport.h"
#include "platform/Exception.h"
#include "store/UDMMain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::TScratchFile file(".gmb");
    file.Write(data, size);
    try {
        TDMMain store;
        store.CDS.SetFileName(file.Path());
        store.SetActive(true);
        store.LocatePassword();
        for (store.CDS.First(); !store.CDS.Eof(); store.CDS.Next()) {
            store.CDSFileName.AsString();
            store.CDSDimX.AsInteger();
            store.CDSDimY.AsInteger();
            store.CDSImageType.AsString();
            try {
                store.CreateImageStream();
            } catch (const EZLibError&) {
                // One damaged blob does not stop the walk.
            } catch (const ESealedBlobError&) {
                // Nor does a sealed one: the vault is not unlocked here.
            }
        }
    } catch (const Exception&) {
    }
    return 0;
}
