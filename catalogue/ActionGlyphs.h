#pragma once
// The 16 x 16 glyphs of the window's actions: the icon theme's picture for
// the action when there is one, else a small glyph drawn by the program, so
// every action looks the same with or without a theme.
#include <QIcon>

enum class Glyph {
    New, Open, SaveAs, Exit, Add, Delete, Rename, SelectAll, Extract, Copy, ViewIcons, ViewThumbnails, ThumbnailSize,
    Preview, Statistic, Empty, Password, About
};

QIcon GlyphIcon(Glyph glyph);
