#pragma once
// Shared between the codec's source files: the message table and the small
// stream helpers the reader is built from.
#include "platform/Stream.h"

#include <cstdint>

namespace gifmsg {
inline constexpr const char* PrematureEnd = "Premature end of data";
inline constexpr const char* InvalidSignature = "Invalid GIF signature";
inline constexpr const char* UnknownBlockType = "Unknown GIF block type";
inline constexpr const char* InvalidIntroducer = "Invalid extension introducer";
inline constexpr const char* InvalidTrailer = "Invalid Image trailer";
inline constexpr const char* ExceedsScreen = "Image exceeds Logical Screen size";
inline constexpr const char* UnknownExtension = "Unknown extension type";
inline constexpr const char* ExtensionMismatch = "Internal error: Extension Instance does not match Extension Label";
inline constexpr const char* AppBlockSize = "Unsupported Application Extension block size";
inline constexpr const char* InvalidData = "Invalid GIF data";
inline constexpr const char* CircularEntry = "Circular decoder table entry";
inline constexpr const char* BitBufferUnderrun = "Decoder bit buffer under-run";
inline constexpr const char* TableOverflow = "Color table overflow";
inline constexpr const char* InvalidColorIndex = "Invalid color index";
inline constexpr const char* TableEmpty = "Color table is empty";
inline constexpr const char* InvalidPixelCoordinates = "Invalid pixel coordinates";
inline constexpr const char* ImageEmpty = "Image is empty";
inline constexpr const char* WidthTooSmall = "Image width too small for contained frames";
inline constexpr const char* HeightTooSmall = "Image height too small for contained frames";
inline constexpr const char* Loading = "Loading...";
inline constexpr const char* Rendering = "Rendering...";
inline constexpr const char* NoColorTable = "No global or local color table defined";
inline constexpr const char* UnsupportedPixelFormat = "Unsupported PixelFormat";
inline constexpr const char* InvalidDimensions = "Invalid image dimensions";
inline constexpr const char* DIBAllocation = "Failed to allocate memory for GIF DIB";
inline constexpr const char* NoDIB = "Image has no DIB";
inline constexpr const char* ScanLineRange = "Scan line index out of range";
} // namespace gifmsg

// The only severity this program uses.
inline constexpr int GIFWarningSeverity = 1;

class TMyGIFImage;
// True on the thread of a threaded painter of the image.
bool IsPainterThreadOf(const TMyGIFImage* image);

// n bytes or "Premature end of data".
void ReadExact(TStream& stream, void* buffer, int64_t n);
// One byte; at the end of the stream "Premature end of data", so that no
// loop built on it can run on past the end.
uint8_t ReadRawByte(TStream& stream);
// One byte if there is one.
inline bool TryReadByte(TStream& stream, uint8_t& b) { return stream.Read(&b, 1) == 1; }
inline void StepBack(TStream& stream) { stream.Seek(-1, SeekOrigin::Current); }
inline void SkipForward(TStream& stream, int64_t n) { stream.Seek(n, SeekOrigin::Current); }

inline uint16_t GetLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
