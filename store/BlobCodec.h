#pragma once
// How an image is kept in its record's blob, all in this one place: the
// file's bytes as one zlib stream and, in a protected vault, that stream
// sealed under the vault key, with the vault and the record (name and kind)
// in the seal's associated data, so that a blob moved to another record or
// another vault fails to open instead of showing the wrong picture.
#include "platform/Exception.h"
#include "platform/MemoryBudget.h"
#include "platform/Stream.h"
#include "store/VaultCrypto.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Any error zlib reports while deflating or inflating. Message: "Error".
class EZLibError : public Exception {
public:
    using Exception::Exception;
};
// A stream that inflates to more than the limit it was given.
class EInflateTooLarge : public EZLibError {
public:
    using EZLibError::EZLibError;
};

// Deflates the whole of source (from its beginning, whatever its position)
// into dest at dest's position: one zlib stream, level 9, 15-bit window,
// memory level 8, default strategy, written in 65,536-byte pieces. A file
// of 64 KB or more whose middle barely deflates (one already compressed)
// is instead deflated whole in memory by a faster encoder at its level 9:
// the same stream format, header 0x78 0xDA and Adler-32 trailer included.
void CompressStream(TStream& source, TStream& dest);
// The most an image may inflate to in memory (a thumbnail, the preview, a
// check): a small hostile blob can claim far more.
inline constexpr int64_t kMaxInflatedImage = int64_t(1) << 30;
// Inflates the zlib stream that starts at source's position into dest,
// 4096 bytes at a time. A stream cut short inflates to what came, without
// an error; a damaged one raises EZLibError("Error"), and one that inflates
// to more than limit bytes raises EInflateTooLarge before dest gets more. Source
// is left just after the stream's end when it ended. A memory stream holding
// a whole, sound stream is inflated in one call (libdeflate), to the same
// bytes.
void DecompressStream(TStream& source, TStream& dest, int64_t limit = INT64_MAX);
// Inflates a whole zlib stream into dest as DecompressStream does with the
// limit kMaxInflatedImage, never holding more than lease has taken of its
// budget: when the image needs more it is inflated again with a lease four
// times as large (at last kMaxInflatedImage, whose message a larger one
// raises). The lease then covers what dest holds.
void DecompressWithinLease(std::vector<uint8_t> packed, TStream& dest, TMemoryBudget::TLease& lease);

// Turns a record's image into its stored blob and back. Copies share the
// key; every method is const and may run on any thread.
class TBlobCodec {
public:
    // Plain: a blob is the zlib stream itself.
    TBlobCodec() = default;
    // Sealed under key, for the vault vaultId names.
    TBlobCodec(TVaultKey key, const std::array<uint8_t, kVaultIdBytes>& vaultId);

    bool Sealed() const { return key_ != nullptr; }
    const std::array<uint8_t, kVaultIdBytes>& VaultId() const { return vaultId_; }

    // The blob that keeps packed (a zlib stream) in the record (name, kind).
    std::vector<uint8_t> Seal(std::vector<uint8_t> packed, const std::string& name, const std::string& kind) const;
    // The zlib stream a blob keeps. Raises ESealedBlobError "Image data is
    // damaged or was changed." for a blob that fails to open, and for a
    // plain blob when sealed (nothing unauthenticated is shown from a
    // protected vault); without a key, a sealed blob raises too.
    std::vector<uint8_t> Unseal(std::vector<uint8_t> stored, const std::string& name, const std::string& kind) const;
    // The blob of a file's bytes: CompressStream, then Seal.
    std::vector<uint8_t> Pack(TStream& source, const std::string& name, const std::string& kind) const;
    // The file's bytes from a blob into dest: Unseal, then DecompressStream
    // with its limit and its errors.
    void Unpack(std::vector<uint8_t> stored, const std::string& name, const std::string& kind, TStream& dest,
                int64_t limit = INT64_MAX) const;

private:
    std::vector<uint8_t> Associated(const std::string& name, const std::string& kind) const;

    std::shared_ptr<const TVaultKey> key_;
    std::array<uint8_t, kVaultIdBytes> vaultId_{};
};
