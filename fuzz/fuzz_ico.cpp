// ICO: the icon reader, then the icon drawn on a bitmap of its size as the
// icon kind's loader does.
#include "fuzz/FuzzSupport.h"
#include "platform/Exception.h"
#include "platform/Icon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::EnsureGuiApplication();
    try {
        TMemoryStream stream = fuzz::StreamOf(data, size);
        TIcon icon;
        icon.LoadFromStream(stream);
        TBitmap bitmap;
        icon.AssignTo(bitmap);
    } catch (const Exception&) {
    }
    return 0;
}
