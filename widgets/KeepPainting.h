#pragma once
// A long command on the GUI thread keeps its windows alive: it calls
// KeepPainting() often, and at most every kPaintingSliceMs (by the current
// clock) the pending window events are handled (paint, expose, resize,
// timers of objects outside the windows), while user input waits for the
// end of the command. Nothing that could start another command gets
// through: closing a window is put off until the command has ended, a drop
// is refused, and the timers of windows and their parts wait.
constexpr int kPaintingSliceMs = 50;

void KeepPainting();
// Handles the events now, whatever the clock says.
void PaintNow();
// True while KeepPainting() is handling events.
bool InsideKeepPainting();
