#pragma once
// Helpers shared by the store tests: a scratch directory, file bytes, and
// adding a record in one call.
#include "store/VaultTable.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

namespace storetest {

// A fresh directory under the system temp dir, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "gmb_store_XXXXXX").string();
        if (!mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& Path() const { return path_; }
    // Names of the entries in the directory, sorted.
    std::vector<std::string> Entries() const
    {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(path_))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    std::filesystem::path path_;
};

// Points the system temporary directory at a fresh folder while alive.
class ScopedTempDir {
public:
    ScopedTempDir()
    {
        if (const char* old = std::getenv("TMPDIR"))
            old_ = old;
        setenv("TMPDIR", dir_.Path().c_str(), 1);
    }
    ~ScopedTempDir()
    {
        if (old_)
            setenv("TMPDIR", old_->c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    std::vector<std::string> Entries() const { return dir_.Entries(); }
    const std::filesystem::path& Path() const { return dir_.Path(); }

private:
    TempDir dir_;
    std::optional<std::string> old_;
};

inline std::vector<uint8_t> FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out)
        b = static_cast<uint8_t>(gen());
    return out;
}

inline void AddRecord(TVaultTable& t, const std::string& name, const std::string& kind, int x = 1, int y = 2,
                      std::vector<uint8_t> blob = {1, 2, 3})
{
    t.Append();
    t.FieldFileName().SetAsString(name);
    t.FieldDimX().SetAsInteger(x);
    t.FieldDimY().SetAsInteger(y);
    t.FieldImage().SetBytes(std::move(blob));
    t.FieldImageType().SetAsString(kind);
    t.Post();
}

inline std::vector<uint8_t> BlobOf(TVaultTable& t)
{
    TMemoryStream s;
    t.FieldImage().SaveToStream(s);
    return s.Bytes();
}

// "name/kind" of every record the cursor visits from First to Eof.
inline std::vector<std::string> Walk(TVaultTable& t)
{
    std::vector<std::string> out;
    for (t.First(); !t.Eof(); t.Next())
        out.push_back(t.FieldFileName().AsString() + "/" + t.FieldImageType().AsString());
    return out;
}

// The message of the exception fn raises ("" when none).
template <typename Fn>
std::string MessageOf(Fn&& fn)
{
    try {
        fn();
    } catch (const Exception& e) {
        return e.Message();
    }
    return {};
}

// A child process adds a large record to the vault at path in one command
// and is killed once the vault itself is half overwritten by its commit,
// leaving its journal; true when it died so.
inline bool KillWriterHalfWay(const std::string& path)
{
    const pid_t child = fork();
    if (child == 0) {
        TVaultTable t("CDS");
        t.SetFileName(path);
        t.Open();
        t.BeginCommand();
        AddRecord(t, "big", "J", 1, 1, RandomBytes(4 << 20, 3));
        TVaultTable::SetWriteProbe([](TWriteStage stage, int64_t end) {
            if (stage == TWriteStage::PageWritten && end >= (2 << 20))
                raise(SIGKILL);
        });
        t.EndCommand();
        _exit(0); // not reached
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFSIGNALED(status);
}

} // namespace storetest
