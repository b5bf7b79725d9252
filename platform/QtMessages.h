#pragma once
// Qt's own chatter kept off the terminal: what Qt and its image plugins
// report about the files they read (for example "qt.gui.imageio: libpng
// warning: iCCP: known incorrect sRGB profile") is no error of ours, and our
// loaders say what matters in their own messages.
#include <QtGlobal>

// Whether a message of this category and type is Qt's chatter: a debug,
// info or warning message of a category of Qt's own ("qt." ...). Critical
// and fatal messages, and messages of every other category (the program's
// own qWarning), pass.
bool IsQtChatter(QtMsgType type, const char* category);
// Installs a handler that drops Qt's chatter and hands everything else to
// the handler installed before it. Once per program, before the first
// picture is read.
void InstallQuietQtMessages();
