#pragma once
// glimmerbox-vault: the vault on the command line, through the same store
// and loaders as the window. Results go to out, errors and progress to err.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

class TDMMain;

namespace vaulttool {

enum ExitCode { Success = 0, Failure = 1, Usage = 2 };

// Where the command writes; progress only when err is a terminal.
struct TOutput {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool progress = false;
};

// Reports one failure on err: "glimmerbox-vault: <what>: <message>".
void ReportError(const TOutput& io, const std::string& what, const std::string& message);
// A text for one line of output: control characters and backslashes
// escaped, so a hostile record name cannot forge lines.
std::string EscapeLine(const std::string& text);

// Splits "Sunset.jpg" into the record name and the kind letter its
// extension gives; false when the extension is not one of the six kinds.
bool SplitImageFileName(const std::string& text, std::string& name, std::string& kind);

// The commands on an open vault (the password already proven). Each returns
// the exit status; per-record failures are reported and the rest goes on.
int ListImages(TDMMain& store, const TOutput& io, bool json);
int ShowStatistic(TDMMain& store, const TOutput& io, bool json);
// Adds in the order of the files; threads prepare them (as TWorkerPool
// takes them: -1 one per core, 0 none).
int AddImages(TDMMain& store, const TOutput& io, const std::vector<std::string>& paths, bool replace, int threads = -1);
int ExtractImages(TDMMain& store, const TOutput& io, const std::vector<std::string>& names, const std::string& folder);
int RemoveImages(TDMMain& store, const TOutput& io, const std::vector<std::string>& names);
int RenameImage(TDMMain& store, const TOutput& io, const std::string& oldName, const std::string& newName);
int CheckImages(TDMMain& store, const TOutput& io);

// Reads a password from the controlling terminal without echo; nullopt when
// there is no terminal.
std::optional<std::string> ReadPasswordFromTerminal(const std::string& prompt);

} // namespace vaulttool
