#pragma once
// Plays metafiles for the window: in the helper process by default, in this
// process where a caller asks for it (fuzzing the players under the
// sanitizers, measuring the helper's cost).
#include "MetafilePlayers.h"

#include <QImage>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class MetafilePlayback { Helper, InProcess };
void SetMetafilePlayback(MetafilePlayback playback);
MetafilePlayback CurrentMetafilePlayback();

// Where the helper is: beside the running program, in ../libexec/glimmerbox
// of an installed layout, else where the build put it. Empty when nowhere.
std::string MetafileHelperPath();

// One run of a helper program. The helper gets the request on its standard
// input and answers on its standard output; anything but a complete,
// well-formed answer and a clean exit within the time-out is a failure
// (its crash, a limit it hit, a hang: it is killed).
struct MetafileHelperRun {
    std::string path; // the program; MetafileHelperPath() when empty
    std::vector<std::string> arguments;
    int timeoutMs = 30000;
    std::function<int64_t()> nowMs; // the clock; the steady clock when unset
};
// What a metafile that the helper could not draw in its time gets.
inline constexpr const char* kMetafileTooSlow = "Metafile takes too long to draw";
// False when the helper failed as above; throws when it cannot be started,
// and kMetafileTooSlow when it ran out of time.
bool RunMetafileHelper(const MetafileHelperRun& run, MetafileOp op, const std::vector<uint8_t>& bytes, int width,
                       int height, MetafileReply& reply, std::vector<uint8_t>& payload);

// The metafile drawn at width x height (premultiplied ARGB), or a null image
// when it cannot be played; by the current playback.
QImage PlayMetafile(bool enhanced, const std::vector<uint8_t>& bytes, int width, int height);
// The measured size of a WMF that states none (see MeasureWindowsMetafile).
bool MeasureMetafile(const std::vector<uint8_t>& bytes, int& width, int& height);
