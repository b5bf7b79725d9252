#pragma once
// Any picture the program loads made into a GIF: the window's Export as GIF
// and the gifconvert tool share this.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TStream;
class TMemoryStream;
class TMyGIFImage;
class TGIFSubImage;
class TGIFGraphicControlExtension;

// Reads the picture in stream as the class registered for the extension
// ("bmp", "ico", "emf", "wmf", "jpg", "gif", "png", "webp", "tif", "heic",
// "avif", ..., with or without the dot) and appends it to image as one new
// frame. A GIF gives a copy of its first frame, colours, transparency and
// timing included; anything else is converted with the image's
// ColorReduction, DitherMode and ReductionBits (icons, metafiles and
// pictures with alpha keep their transparency). Answers the frame's index.
int AddPictureAsFrame(TMyGIFImage& image, TStream& stream, const std::string& extension);

// The picture in stream as the bytes of a GIF file: a GIF is proved
// readable and then written back unchanged, all its frames; anything else
// becomes one frame made with the image's start settings.
void MakeGifOfPicture(TStream& stream, const std::string& extension, TMemoryStream& out);

// The animation in a file of the kind (an animated WebP) as a GIF image
// that plays its frames with their own delays and loop count, each the
// whole canvas shown alone, so that the preview's painter plays it as it
// plays a GIF. Null when the file holds a single picture or the kind has
// no animations; raises the decoder's message.
std::unique_ptr<TMyGIFImage> LoadAnimationAsGif(const std::string& path, char kind);
// The same from the file's bytes. Making the frames may take seconds: it
// stops, answering null, once cancelled (when given) turns true.
std::unique_ptr<TMyGIFImage> LoadAnimationAsGif(const std::vector<uint8_t>& bytes, char kind,
                                                const std::atomic<bool>* cancelled = nullptr);
// Whether LoadAnimationAsGif may find an animation in the file's bytes (read
// from the header alone, so cheap enough for every click).
bool HoldsAnimation(const std::vector<uint8_t>& bytes, char kind);

// The frame's graphic control extension (delay, disposal, transparency),
// added when the frame has none.
TGIFGraphicControlExtension& FrameControl(TGIFSubImage& frame);
// Makes the image loop: count 0 is endless. Any earlier loop extension is
// replaced by one in front of the first frame.
void SetLoopCount(TMyGIFImage& image, uint16_t count);

