#pragma once
// Helpers the fuzz targets share.
#include "platform/Stream.h"

#include <QGuiApplication>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace fuzz {

// The input as a memory stream of exactly its bytes.
inline TMemoryStream StreamOf(const uint8_t* data, size_t size)
{
    return TMemoryStream(std::vector<uint8_t>(data, data + size));
}

// Image readers that go through Qt (icons, shell icons, metafile
// rasterising) need a GUI application; one, headless, for the process.
inline void EnsureGuiApplication()
{
    static std::unique_ptr<QGuiApplication> app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "fuzz";
        static char* argv[] = {name, nullptr};
        return std::make_unique<QGuiApplication>(argc, argv);
    }();
}

// A file of this process's own, rewritten with each input, for readers
// that take a path; removed at exit. In shared memory when there is some:
// the readers flush every write to disk, which would make a disk the pace.
class TScratchFile {
public:
    explicit TScratchFile(const std::string& suffix) : path_(Folder() + "/gmb-fuzz-" + std::to_string(getpid()) + suffix) {}
    ~TScratchFile() { std::remove(path_.c_str()); }
    const std::string& Write(const uint8_t* data, size_t size)
    {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        return path_;
    }
    const std::string& Path() const { return path_; }

private:
    static std::string Folder()
    {
        if (access("/dev/shm", W_OK) == 0)
            return "/dev/shm";
        const char* tmp = std::getenv("TMPDIR");
        return tmp ? tmp : "/tmp";
    }
    std::string path_;
};

} // namespace fuzz
