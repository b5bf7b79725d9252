#pragma once
// The natural-size loaders of the image kinds. Each takes a stream at the
// start of the image bytes (or a file name) and a caller-owned bitmap that
// it resizes and fills; each raises the decoder's message for bytes that
// are not a valid image of its kind.
#include "platform/Bitmap.h"

#include <string>

class TStream;

// Kind B and any unknown letter: the platform bitmap reader
// ("Bitmap image is not valid").
void LoadBitmapFromStream(TStream& stream, TBitmap& bitmap);
// The icon's largest image drawn at (0, 0) on a white bitmap of its size,
// transparent pixels white ("Icon image is not valid").
void LoadIconFromStream(TStream& stream, TBitmap& bitmap);
void LoadIconFromFile(const std::string& fileName, TBitmap& bitmap);
// An EMF or WMF played at (0, 0) on a white bitmap of the metafile's size
// at 96 pixels per inch ("Metafile is not valid").
void LoadMetafileFromStream(TStream& stream, TBitmap& bitmap);
// The JPEG at full size, 24 bits, turned upright by its EXIF orientation
// ("JPEG error #%d", libjpeg's message code).
void LoadJpegFromStream(TStream& stream, TBitmap& bitmap);
// A copy of the GIF image's first-frame bitmap. Decoded by whatever class
// is registered for "gif" (the GIF codec), which copies its image bitmap in
// AssignTo.
void LoadGifFromStream(TStream& stream, TBitmap& bitmap);
// The same picture from the header and the first frame alone: what a
// thumbnail needs of an animation. Later frames are not read, so their
// damage is not noticed here (adding still reads them all).
void LoadGifFirstFrameFromStream(TStream& stream, TBitmap& bitmap);
// The newer kinds, each through the library made for its format, at full
// size, transparent parts over white ("PNG image is not valid: ...",
// "WebP ...", "TIFF ...", "HEIF ...", "AVIF ..." with the library's reason).
// An animated WebP gives its first frame, a multi-page TIFF its first page.
void LoadPngFromStream(TStream& stream, TBitmap& bitmap);
void LoadWebpFromStream(TStream& stream, TBitmap& bitmap);
void LoadTiffFromStream(TStream& stream, TBitmap& bitmap);
void LoadHeifFromStream(TStream& stream, TBitmap& bitmap);
void LoadAvifFromStream(TStream& stream, TBitmap& bitmap);

// Registers the catalogue's graphic classes with the picture registry:
// "emf", "wmf" (metafiles), "jpg", "jpeg" (JPEG), "png", "webp", "tif",
// "tiff", "heic", "heif", "avif". Idempotent.
void RegisterCatalogueGraphics();
