#pragma once
// The icon the desktop shows for files of an extension: the freedesktop
// icon of the extension's MIME type from the icon theme, else an icon
// bundled with the program, so the list looks right without a theme.
#include <QImage>

#include <string>

class TImageList;

// The icon for the extension of fileName ("a.gif" asks for ".gif"),
// width x height. Only the extension is looked at; the file need not exist.
QImage ShellIconImage(const std::string& fileName, int width = 32, int height = 32);
// The same, kept per extension and size for the run: a list of thousands
// of records asks for the same few icons over and over.
QImage CachedShellIconImage(const std::string& fileName, int width, int height);
// The picture of a record that cannot be shown, width x height: the
// theme's "image-missing" icon, else the bundled one, centred on white as
// thumbnails are. Kept per size for the run.
QImage BrokenImagePicture(int width, int height);
// Appends that icon to each list given; each list scales it to its size.
void AddShellIcon(const std::string& fileName, TImageList* first, TImageList* second);
