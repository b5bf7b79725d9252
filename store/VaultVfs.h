#pragma once
// The file layer every vault connection goes through: the system's own,
// with a seam that reports each write, sync and removal of a vault or its
// side files to the write probe (tests fail or kill a write-back there).
#include "store/VaultFile.h"

#include <exception>

namespace vaultvfs {

// Name of the layer to give sqlite3_open_v2; registered on first use.
const char* Name();

// The probe the layer reports to (none by default).
void SetProbe(TWriteProbe probe);

// A probe that threw inside the engine makes the engine call fail; this
// hands back (once) what it threw, or null.
std::exception_ptr TakeProbeFailure();

} // namespace vaultvfs
