#include "store/VaultVfs.h"

#include <sqlite3.h>

#include <cstring>
#include <mutex>

namespace vaultvfs {

namespace {

TWriteProbe& Probe()
{
    static TWriteProbe probe;
    return probe;
}

std::exception_ptr& Failure()
{
    static thread_local std::exception_ptr failure;
    return failure;
}

sqlite3_vfs* Base()
{
    static sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
    return base;
}

// Reports to the probe; a throwing probe turns into an engine I/O error.
int Report(TWriteStage stage, int64_t bytes, int errorCode)
{
    if (!Probe())
        return SQLITE_OK;
    try {
        Probe()(stage, bytes);
    } catch (...) {
        Failure() = std::current_exception();
        return errorCode;
    }
    return SQLITE_OK;
}

struct ShimFile {
    sqlite3_file base;
    sqlite3_file* real; // the system layer's file, right behind this struct
    bool journal;       // a side file, not the vault itself
};

sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<ShimFile*>(f)->real; }

int Close(sqlite3_file* f)
{
    sqlite3_file* r = Real(f);
    return r->pMethods ? r->pMethods->xClose(r) : SQLITE_OK;
}
int Read(sqlite3_file* f, void* p, int n, sqlite3_int64 o) { return Real(f)->pMethods->xRead(Real(f), p, n, o); }
int Write(sqlite3_file* f, const void* p, int n, sqlite3_int64 o)
{
    const bool journal = reinterpret_cast<ShimFile*>(f)->journal;
    if (const int rc = Report(journal ? TWriteStage::JournalWritten : TWriteStage::PageWritten, o + n,
                              SQLITE_IOERR_WRITE))
        return rc;
    return Real(f)->pMethods->xWrite(Real(f), p, n, o);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) { return Real(f)->pMethods->xTruncate(Real(f), size); }
int Sync(sqlite3_file* f, int flags)
{
    if (const int rc = Report(TWriteStage::FileSynced, 0, SQLITE_IOERR_FSYNC))
        return rc;
    return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* s) { return Real(f)->pMethods->xFileSize(Real(f), s); }
int Lock(sqlite3_file* f, int l) { return Real(f)->pMethods->xLock(Real(f), l); }
int Unlock(sqlite3_file* f, int l) { return Real(f)->pMethods->xUnlock(Real(f), l); }
int CheckReserved(sqlite3_file* f, int* out) { return Real(f)->pMethods->xCheckReservedLock(Real(f), out); }
int FileControl(sqlite3_file* f, int op, void* arg) { return Real(f)->pMethods->xFileControl(Real(f), op, arg); }
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int Characteristics(sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); }
int ShmMap(sqlite3_file* f, int i, int s, int e, void volatile** p)
{
    return Real(f)->pMethods->xShmMap(Real(f), i, s, e, p);
}
int ShmLock(sqlite3_file* f, int o, int n, int fl) { return Real(f)->pMethods->xShmLock(Real(f), o, n, fl); }
void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShmUnmap(sqlite3_file* f, int d) { return Real(f)->pMethods->xShmUnmap(Real(f), d); }
int Fetch(sqlite3_file* f, sqlite3_int64 o, int n, void** p) { return Real(f)->pMethods->xFetch(Real(f), o, n, p); }
int Unfetch(sqlite3_file* f, sqlite3_int64 o, void* p) { return Real(f)->pMethods->xUnfetch(Real(f), o, p); }

const sqlite3_io_methods kMethods = {
    3,        Close,          Read,        Write,  Truncate,   Sync,     FileSize, Lock,  Unlock, CheckReserved,
    FileControl, SectorSize, Characteristics, ShmMap, ShmLock, ShmBarrier, ShmUnmap, Fetch, Unfetch,
};

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags)
{
    auto* shim = reinterpret_cast<ShimFile*>(f);
    shim->real = reinterpret_cast<sqlite3_file*>(shim + 1);
    shim->journal = (flags & SQLITE_OPEN_MAIN_DB) == 0;
    shim->base.pMethods = nullptr;
    const int rc = Base()->xOpen(Base(), name, shim->real, flags, outFlags);
    if (shim->real->pMethods)
        shim->base.pMethods = &kMethods;
    return rc;
}

int Delete(sqlite3_vfs*, const char* name, int syncDir)
{
    // Removing the journal is what commits: a failure reported here must
    // leave it in place.
    if (const int rc = Report(TWriteStage::SideFileRemoved, 0, SQLITE_IOERR_DELETE))
        return rc;
    return Base()->xDelete(Base(), name, syncDir);
}
int Access(sqlite3_vfs*, const char* n, int f, int* out) { return Base()->xAccess(Base(), n, f, out); }
int FullPath(sqlite3_vfs*, const char* n, int size, char* out) { return Base()->xFullPathname(Base(), n, size, out); }
void* DlOpen(sqlite3_vfs*, const char* n) { return Base()->xDlOpen(Base(), n); }
void DlError(sqlite3_vfs*, int n, char* m) { Base()->xDlError(Base(), n, m); }
void (*DlSym(sqlite3_vfs*, void* h, const char* s))(void) { return Base()->xDlSym(Base(), h, s); }
void DlClose(sqlite3_vfs*, void* h) { Base()->xDlClose(Base(), h); }
int Randomness(sqlite3_vfs*, int n, char* out) { return Base()->xRandomness(Base(), n, out); }
int Sleep(sqlite3_vfs*, int us) { return Base()->xSleep(Base(), us); }
int CurrentTime(sqlite3_vfs*, double* t) { return Base()->xCurrentTime(Base(), t); }
int LastError(sqlite3_vfs*, int n, char* m) { return Base()->xGetLastError(Base(), n, m); }
int CurrentTime64(sqlite3_vfs*, sqlite3_int64* t) { return Base()->xCurrentTimeInt64(Base(), t); }

constexpr const char* kName = "gmbvault";

} // namespace

const char* Name()
{
    static std::once_flag once;
    std::call_once(once, [] {
        static sqlite3_vfs vfs{};
        sqlite3_vfs* base = Base();
        vfs.iVersion = 2;
        vfs.szOsFile = static_cast<int>(sizeof(ShimFile)) + base->szOsFile;
        vfs.mxPathname = base->mxPathname;
        vfs.zName = kName;
        vfs.xOpen = Open;
        vfs.xDelete = Delete;
        vfs.xAccess = Access;
        vfs.xFullPathname = FullPath;
        vfs.xDlOpen = DlOpen;
        vfs.xDlError = DlError;
        vfs.xDlSym = DlSym;
        vfs.xDlClose = DlClose;
        vfs.xRandomness = Randomness;
        vfs.xSleep = Sleep;
        vfs.xCurrentTime = CurrentTime;
        vfs.xGetLastError = LastError;
        vfs.xCurrentTimeInt64 = CurrentTime64;
        sqlite3_vfs_register(&vfs, 0);
    });
    return kName;
}

void SetProbe(TWriteProbe probe) { Probe() = std::move(probe); }

std::exception_ptr TakeProbeFailure()
{
    std::exception_ptr e = Failure();
    Failure() = nullptr;
    return e;
}

} // namespace vaultvfs
