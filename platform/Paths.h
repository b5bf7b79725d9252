#pragma once
// Where the program keeps its files on this system.
#include <memory>
#include <string>

class QTemporaryDir;

// The system's temporary directory, ending in a separator.
std::string SystemTempPath();

// A folder of this process's own for scratch files: a unique name, mode
// 0700, under the system temporary directory, or under the user's cache
// folder when that cannot be written. No other user can plant files or
// links in it, and two processes never share one. It goes, with all it
// holds, when the object does.
class TPrivateTempFolder {
public:
    TPrivateTempFolder();
    ~TPrivateTempFolder();
    TPrivateTempFolder(const TPrivateTempFolder&) = delete;
    TPrivateTempFolder& operator=(const TPrivateTempFolder&) = delete;

    // The folder with a trailing separator; empty when none could be made.
    const std::string& Path() const { return path_; }
    // Why none could be made.
    const std::string& Error() const { return error_; }
    // Whether the folder is still there as made: ours, a folder, not a
    // link, closed to others (a temp cleaner may remove it, and another
    // user may then make one of the same name).
    bool Intact() const;

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::string path_;
    std::string error_;
    unsigned owner_ = 0;
};

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
