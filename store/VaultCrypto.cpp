#include "store/VaultCrypto.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr std::array<uint8_t, 4> kBlobMagic{'G', 'M', 'B', 'S'};
constexpr std::array<uint8_t, 4> kEnvelopeMagic{'G', 'M', 'B', 'K'};
constexpr uint8_t kFormatVersion = 1;
constexpr size_t kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr size_t kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr size_t kBlobHeaderBytes = kBlobMagic.size() + 1;
constexpr size_t kSaltBytes = 16;
constexpr size_t kEnvelopeHeaderBytes = kEnvelopeMagic.size() + 1 + 4 + 4 + kSaltBytes + kVaultIdBytes;
constexpr size_t kWrappedKeyBytes = kNonceBytes + kVaultKeyBytes + kTagBytes;
// Far above what we write, far below what would stall or exhaust a machine.
constexpr uint32_t kMaxOpsLimit = 16;
constexpr uint32_t kMaxMemLimitKiB = 1024 * 1024;

static_assert(kSaltBytes == crypto_pwhash_SALTBYTES);
static_assert(kVaultKeyBytes == crypto_aead_xchacha20poly1305_ietf_KEYBYTES);

void EnsureSodium()
{
    // sodium_init is safe to call from several threads and more than once.
    if (sodium_init() < 0)
        throw Exception("The cryptography library cannot start.");
}

void PutU32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t GetU32(const uint8_t* p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The envelope's fields before the wrapped key: authenticated with it, so
// lowered limits or another vault id make the unwrapping fail.
std::vector<uint8_t> EnvelopeHeader(const TKeyEnvelope& e)
{
    std::vector<uint8_t> out(kEnvelopeMagic.begin(), kEnvelopeMagic.end());
    out.push_back(kFormatVersion);
    PutU32(out, e.limits.opsLimit);
    PutU32(out, e.limits.memLimitKiB);
    out.insert(out.end(), e.salt.begin(), e.salt.end());
    out.insert(out.end(), e.vaultId.begin(), e.vaultId.end());
    return out;
}

bool LimitsAcceptable(const TPasswordHashLimits& l)
{
    const uint64_t memBytes = uint64_t{l.memLimitKiB} * 1024;
    return l.opsLimit >= crypto_pwhash_OPSLIMIT_MIN && l.opsLimit <= kMaxOpsLimit &&
           memBytes >= crypto_pwhash_MEMLIMIT_MIN && l.memLimitKiB <= kMaxMemLimitKiB;
}

// The key that wraps the vault key, derived from the password.
TVaultKey DerivePasswordKey(const std::string& password, const TKeyEnvelope& e)
{
    TVaultKey out = TVaultKey::Generate(); // overwritten: only its guarded storage is wanted
    if (crypto_pwhash(out.Data(), kVaultKeyBytes, password.data(), password.size(), e.salt.data(),
                      e.limits.opsLimit, size_t{e.limits.memLimitKiB} * 1024, crypto_pwhash_ALG_ARGON2ID13) != 0)
        throw Exception("Not enough memory to check the password.");
    return out;
}

} // namespace

// ---- the key ----

TVaultKey::TVaultKey()
{
    EnsureSodium();
    bytes_ = static_cast<uint8_t*>(sodium_malloc(kVaultKeyBytes));
    if (!bytes_)
        throw std::bad_alloc();
}

TVaultKey TVaultKey::Generate()
{
    TVaultKey key;
    crypto_aead_xchacha20poly1305_ietf_keygen(key.bytes_);
    return key;
}

TVaultKey::TVaultKey(const TVaultKey& other) : TVaultKey()
{
    std::memcpy(bytes_, other.bytes_, kVaultKeyBytes);
}

TVaultKey& TVaultKey::operator=(const TVaultKey& other)
{
    if (this != &other)
        std::memcpy(bytes_, other.bytes_, kVaultKeyBytes);
    return *this;
}

TVaultKey::TVaultKey(TVaultKey&& other) noexcept : bytes_(std::exchange(other.bytes_, nullptr)) {}

TVaultKey& TVaultKey::operator=(TVaultKey&& other) noexcept
{
    std::swap(bytes_, other.bytes_);
    return *this;
}

TVaultKey::~TVaultKey()
{
    sodium_free(bytes_); // wipes; accepts null
}

bool TVaultKey::operator==(const TVaultKey& other) const
{
    return sodium_memcmp(bytes_, other.bytes_, kVaultKeyBytes) == 0;
}

// ---- the envelope ----

TPasswordHashLimits DefaultPasswordHashLimits() { return {}; }

std::vector<uint8_t> TKeyEnvelope::Serialize() const
{
    std::vector<uint8_t> out = EnvelopeHeader(*this);
    out.insert(out.end(), wrappedKey.begin(), wrappedKey.end());
    return out;
}

std::optional<TKeyEnvelope> TKeyEnvelope::Parse(std::span<const uint8_t> bytes)
{
    if (bytes.size() != kEnvelopeHeaderBytes + kWrappedKeyBytes ||
        !std::equal(kEnvelopeMagic.begin(), kEnvelopeMagic.end(), bytes.begin()) ||
        bytes[kEnvelopeMagic.size()] != kFormatVersion)
        return std::nullopt;
    TKeyEnvelope e;
    const uint8_t* p = bytes.data() + kEnvelopeMagic.size() + 1;
    e.limits.opsLimit = GetU32(p);
    e.limits.memLimitKiB = GetU32(p + 4);
    p += 8;
    if (!LimitsAcceptable(e.limits))
        return std::nullopt;
    std::copy_n(p, kSaltBytes, e.salt.begin());
    p += kSaltBytes;
    std::copy_n(p, kVaultIdBytes, e.vaultId.begin());
    p += kVaultIdBytes;
    e.wrappedKey.assign(p, bytes.data() + bytes.size());
    return e;
}

std::array<uint8_t, kVaultIdBytes> NewVaultId()
{
    EnsureSodium();
    std::array<uint8_t, kVaultIdBytes> id{};
    randombytes_buf(id.data(), id.size());
    return id;
}

TKeyEnvelope WrapVaultKey(const TVaultKey& key, const std::string& password,
                          const std::array<uint8_t, kVaultIdBytes>& vaultId, TPasswordHashLimits limits)
{
    EnsureSodium();
    if (!LimitsAcceptable(limits))
        throw Exception("The password hashing limits are out of range.");
    TKeyEnvelope e;
    e.limits = limits;
    e.vaultId = vaultId;
    randombytes_buf(e.salt.data(), e.salt.size());
    const TVaultKey wrapping = DerivePasswordKey(password, e);
    const std::vector<uint8_t> header = EnvelopeHeader(e);
    e.wrappedKey.resize(kWrappedKeyBytes);
    uint8_t* nonce = e.wrappedKey.data();
    randombytes_buf(nonce, kNonceBytes);
    unsigned long long n = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(nonce + kNonceBytes, &n, key.Data(), kVaultKeyBytes, header.data(),
                                               header.size(), nullptr, nonce, wrapping.Data());
    return e;
}

TKeyEnvelope RewrapVaultKey(const TKeyEnvelope& envelope, const TVaultKey& key, const std::string& newPassword,
                            TPasswordHashLimits limits)
{
    return WrapVaultKey(key, newPassword, envelope.vaultId, limits);
}

std::optional<TVaultKey> UnwrapVaultKey(const TKeyEnvelope& envelope, const std::string& password)
{
    EnsureSodium();
    if (envelope.wrappedKey.size() != kWrappedKeyBytes || !LimitsAcceptable(envelope.limits))
        return std::nullopt;
    const TVaultKey wrapping = DerivePasswordKey(password, envelope);
    const std::vector<uint8_t> header = EnvelopeHeader(envelope);
    const uint8_t* nonce = envelope.wrappedKey.data();
    TVaultKey key = TVaultKey::Generate();
    unsigned long long n = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(key.Data(), &n, nullptr, nonce + kNonceBytes,
                                                   kVaultKeyBytes + kTagBytes, header.data(), header.size(), nonce,
                                                   wrapping.Data()) != 0)
        return std::nullopt;
    return key;
}

// ---- blobs ----

bool IsSealedBlob(std::span<const uint8_t> bytes)
{
    return bytes.size() >= kBlobHeaderBytes && std::equal(kBlobMagic.begin(), kBlobMagic.end(), bytes.begin());
}

namespace {

// What the tag covers besides the ciphertext: the blob's own header, then
// the caller's record and vault identity.
std::vector<uint8_t> BlobAssociatedData(uint8_t version, std::span<const uint8_t> associated)
{
    std::vector<uint8_t> ad(kBlobMagic.begin(), kBlobMagic.end());
    ad.push_back(version);
    ad.insert(ad.end(), associated.begin(), associated.end());
    return ad;
}

} // namespace

std::vector<uint8_t> SealBlob(const TVaultKey& key, std::span<const uint8_t> plain,
                              std::span<const uint8_t> associated)
{
    EnsureSodium();
    const std::vector<uint8_t> ad = BlobAssociatedData(kFormatVersion, associated);
    std::vector<uint8_t> out(kBlobHeaderBytes + kNonceBytes + plain.size() + kTagBytes);
    std::copy(kBlobMagic.begin(), kBlobMagic.end(), out.begin());
    out[kBlobMagic.size()] = kFormatVersion;
    uint8_t* nonce = out.data() + kBlobHeaderBytes;
    randombytes_buf(nonce, kNonceBytes);
    unsigned long long n = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(nonce + kNonceBytes, &n, plain.data(), plain.size(), ad.data(),
                                               ad.size(), nullptr, nonce, key.Data());
    return out;
}

std::vector<uint8_t> OpenSealedBlob(const TVaultKey& key, std::vector<uint8_t> sealed,
                                    std::span<const uint8_t> associated)
{
    EnsureSodium();
    if (!IsSealedBlob(sealed) || sealed[kBlobMagic.size()] != kFormatVersion ||
        sealed.size() < kBlobHeaderBytes + kNonceBytes + kTagBytes)
        throw ESealedBlobError("Image data is damaged or was changed.");
    const std::vector<uint8_t> ad = BlobAssociatedData(sealed[kBlobMagic.size()], associated);
    const uint8_t* nonce = sealed.data() + kBlobHeaderBytes;
    uint8_t* cipher = sealed.data() + kBlobHeaderBytes + kNonceBytes;
    const size_t cipherBytes = sealed.size() - kBlobHeaderBytes - kNonceBytes;
    // Opened where it lies: a photo-sized buffer less to allocate and fault
    // in per image.
    unsigned long long n = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(cipher, &n, nullptr, cipher, cipherBytes, ad.data(), ad.size(),
                                                   nonce, key.Data()) != 0)
        throw ESealedBlobError("Image data is damaged or was changed.");
    sealed.erase(sealed.begin(), sealed.begin() + static_cast<std::ptrdiff_t>(kBlobHeaderBytes + kNonceBytes));
    sealed.resize(static_cast<size_t>(n));
    return sealed;
}
