#pragma once
// Where the program keeps its files on this system.
#include <string>

// The system's temporary directory, ending in a separator.
std::string SystemTempPath();

// The directory that stands in for the Windows directory: $windir when it is
// set (as given), else the user's configuration directory.
std::string SettingsDirectory();

// Appends a separator unless path already ends in '/' or '\'.
std::string IncludeTrailingSeparator(const std::string& path);

// The last component of a path (either separator counts).
std::string ExtractFileName(const std::string& path);
// The extension with its dot, or empty.
std::string ExtractFileExt(const std::string& path);

bool FileExists(const std::string& path);
bool DeleteFile(const std::string& path);

// A file name made from text that may come from anywhere (a record name):
// the characters no file name may hold on Linux or Windows (/ \ : * ? " < >
// | and control characters) become '_', a name of dots only or an empty one
// becomes underscores, and a Windows device name (CON, NUL, COM1, ...) gets a
// leading '_', so joining the result to a folder stays in that folder.
std::string SafeFileName(const std::string& name);
