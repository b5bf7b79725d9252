#pragma once
// The cryptography of protected vaults. A random vault key seals every image
// blob (XChaCha20-Poly1305, a fresh nonce per blob); the password only wraps
// that key (Argon2id), so changing the password rewrites one small record,
// and nothing readable of the password is ever stored.
//
// Sealed blob:   "GMBS" version(1) nonce(24) ciphertext+tag
// Key envelope:  "GMBK" version(1) opslimit(u32 LE) memlimit-KiB(u32 LE)
//                salt(16) vault-id(16) nonce(24) wrapped-key(32+16)
// A zlib stream never starts with "G" (its low nibble names the method, 8),
// so a sealed blob and a plain one are told apart by their first byte.
#include "platform/Exception.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// A sealed blob that fails authentication: damaged, or moved from another
// record or vault.
class ESealedBlobError : public Exception {
public:
    using Exception::Exception;
};

inline constexpr size_t kVaultKeyBytes = 32;
inline constexpr size_t kVaultIdBytes = 16;

// A secret key in memory that is kept out of swap and wiped when freed.
class TVaultKey {
public:
    // A fresh random key.
    static TVaultKey Generate();
    TVaultKey(const TVaultKey& other);
    TVaultKey& operator=(const TVaultKey& other);
    TVaultKey(TVaultKey&& other) noexcept;
    TVaultKey& operator=(TVaultKey&& other) noexcept;
    ~TVaultKey();

    const uint8_t* Data() const { return bytes_; }
    uint8_t* Data() { return bytes_; }
    bool operator==(const TVaultKey& other) const;

private:
    TVaultKey();
    uint8_t* bytes_ = nullptr;
};

// How hard the password is to guess: Argon2id's passes and memory.
struct TPasswordHashLimits {
    uint32_t opsLimit = 3;
    uint32_t memLimitKiB = 256 * 1024;
};
// What new envelopes use: 0.40 s of one core and 256 MiB here (bench/store).
TPasswordHashLimits DefaultPasswordHashLimits();

// What a protected vault keeps instead of its password.
struct TKeyEnvelope {
    TPasswordHashLimits limits;
    std::array<uint8_t, 16> salt{};
    // Names the vault in every sealed blob's associated data, so a blob
    // copied in from another vault fails to open.
    std::array<uint8_t, kVaultIdBytes> vaultId{};
    std::vector<uint8_t> wrappedKey; // nonce + sealed vault key

    std::vector<uint8_t> Serialize() const;
    // Nothing for bytes that are not an envelope of ours, and for limits no
    // envelope we write carries (a hostile vault must not make the open take
    // gigabytes or hours).
    static std::optional<TKeyEnvelope> Parse(std::span<const uint8_t> bytes);
};

// Wraps key under password, with a fresh salt. vaultId is kept as given.
TKeyEnvelope WrapVaultKey(const TVaultKey& key, const std::string& password,
                          const std::array<uint8_t, kVaultIdBytes>& vaultId,
                          TPasswordHashLimits limits = DefaultPasswordHashLimits());
// The same key under a new password: the blobs it sealed stay as they are.
TKeyEnvelope RewrapVaultKey(const TKeyEnvelope& envelope, const TVaultKey& key, const std::string& newPassword,
                            TPasswordHashLimits limits = DefaultPasswordHashLimits());
// The vault key, or nothing when the password is wrong (or the envelope was
// changed). Raises when the key derivation cannot get its memory.
std::optional<TVaultKey> UnwrapVaultKey(const TKeyEnvelope& envelope, const std::string& password);

// A fresh random vault id.
std::array<uint8_t, kVaultIdBytes> NewVaultId();

// Whether bytes are a sealed blob (by their header, not by opening them).
bool IsSealedBlob(std::span<const uint8_t> bytes);
// Seals plain (a zlib stream) under key; associated names the record and
// the vault and must be given alike to open it.
std::vector<uint8_t> SealBlob(const TVaultKey& key, std::span<const uint8_t> plain,
                              std::span<const uint8_t> associated);
// The plain bytes; raises ESealedBlobError "Image data is damaged or was
// changed." when the blob fails authentication.
std::vector<uint8_t> OpenSealedBlob(const TVaultKey& key, std::vector<uint8_t> sealed,
                                    std::span<const uint8_t> associated);
