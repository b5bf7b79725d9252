#pragma once
// What the GIF renderer needs of the platform beyond bitmaps and raster
// operations: the error classes the graphics calls raise and the colour
// depth of the screen.
#include "platform/Exception.h"

// Memory for a picture could not be had.
class EOutOfMemory : public Exception {
public:
    using Exception::Exception;
};

// A device context or bitmap could not be created.
class EOutOfResources : public Exception {
public:
    using Exception::Exception;
};

// A bitmap was asked for something it cannot do ("Scan line index out of
// range").
class EInvalidGraphicOperation : public Exception {
public:
    using Exception::Exception;
};

// The silent abort: raised to cancel (for instance by a progress handler),
// swallowed by whoever started the work, never shown.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
};

// Bits a pixel times colour planes of the primary screen; 0 where there is
// no screen (no GUI application, or none attached). The program may set the
// value itself; 0 or less goes back to asking the GUI application.
int ScreenBitsPerPixel();
void SetScreenBitsPerPixel(int bits);
