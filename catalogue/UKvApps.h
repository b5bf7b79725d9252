#pragma once
// Program-wide names: the settings file, the application title and the
// settings-section prefix derived from it.
#include <string>

// Path of the settings file "KvApps.ini" (see IniFileNameFor).
extern std::string IniFileName;
// The main window's caption as built.
extern std::string AppTitle;

// The settings file in the directory that stands in for the Windows
// directory: $windir when set, else the user's configuration directory.
std::string IniFileNameFor(const std::string& directory);
std::string DefaultIniFileName();

// Text without its last blank-separated word: "Kv Glimmerbox 3.2" gives
// "Kv Glimmerbox"; a text without a blank is returned unchanged.
std::string StripVersion(const std::string& text);
