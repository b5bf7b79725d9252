#include "UKvApps.h"

#include "platform/Paths.h"

std::string IniFileNameFor(const std::string& directory) { return IncludeTrailingSeparator(directory) + "KvApps.ini"; }

std::string DefaultIniFileName() { return IniFileNameFor(SettingsDirectory()); }

std::string IniFileName = DefaultIniFileName();
std::string AppTitle;

std::string StripVersion(const std::string& text)
{
    const size_t blank = text.rfind(' ');
    return blank == std::string::npos ? text : text.substr(0, blank);
}
