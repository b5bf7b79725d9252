#include "store/VaultCrypto.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Cheap enough for tests; the real limits are measured in bench/store.
constexpr TPasswordHashLimits kQuick{1, 8 * 1024};

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> ZlibOf(const std::string& text)
{
    std::vector<uint8_t> out(compressBound(static_cast<uLong>(text.size())));
    uLongf n = static_cast<uLongf>(out.size());
    EXPECT_EQ(compress2(out.data(), &n, reinterpret_cast<const Bytef*>(text.data()),
                        static_cast<uLong>(text.size()), 9),
              Z_OK);
    out.resize(n);
    return out;
}

bool Contains(const std::vector<uint8_t>& haystack, const std::string& needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

} // namespace

TEST(SealedBlob, OpensOnlyWithItsKeyAndItsRecord)
{
    const TVaultKey key = TVaultKey::Generate();
    const std::vector<uint8_t> plain = ZlibOf("marker-7f3a inside a picture");
    const std::vector<uint8_t> record = Bytes("vault-id|Sunset|J");
    const std::vector<uint8_t> sealed = SealBlob(key, plain, record);

    EXPECT_TRUE(IsSealedBlob(sealed));
    EXPECT_FALSE(IsSealedBlob(plain)) << "a zlib stream must never look sealed";
    EXPECT_FALSE(Contains(sealed, "marker-7f3a"));
    EXPECT_EQ(OpenSealedBlob(key, sealed, record), plain);

    // Moved to another record, or opened with another vault's key.
    EXPECT_THROW(OpenSealedBlob(key, sealed, Bytes("vault-id|Sunset|G")), ESealedBlobError);
    EXPECT_THROW(OpenSealedBlob(TVaultKey::Generate(), sealed, record), ESealedBlobError);
}

TEST(SealedBlob, AnyChangedOrMissingByteIsDamage)
{
    const TVaultKey key = TVaultKey::Generate();
    const std::vector<uint8_t> plain = ZlibOf(std::string(3000, 'x'));
    const std::vector<uint8_t> sealed = SealBlob(key, plain, {});
    // Every byte: header, nonce, ciphertext and tag alike.
    for (size_t i = 0; i < sealed.size(); i += 7) {
        std::vector<uint8_t> flipped = sealed;
        flipped[i] ^= 0x01;
        EXPECT_THROW(OpenSealedBlob(key, flipped, {}), ESealedBlobError) << "byte " << i;
    }
    for (size_t n : {size_t{0}, size_t{4}, size_t{20}, size_t{45}, sealed.size() - 1}) {
        const std::vector<uint8_t> cut(sealed.begin(), sealed.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_THROW(OpenSealedBlob(key, cut, {}), ESealedBlobError) << n << " bytes";
    }
    try {
        OpenSealedBlob(key, {}, {});
        FAIL();
    } catch (const ESealedBlobError& e) {
        EXPECT_EQ(e.Message(), "Image data is damaged or was changed.");
    }
}

TEST(SealedBlob, SameBytesSealTwiceDiffer)
{
    // A fresh nonce per blob: equal images must not show as equal blobs.
    const TVaultKey key = TVaultKey::Generate();
    const std::vector<uint8_t> plain = ZlibOf("same");
    EXPECT_NE(SealBlob(key, plain, {}), SealBlob(key, plain, {}));
    EXPECT_EQ(OpenSealedBlob(key, SealBlob(key, {}, {}), {}), std::vector<uint8_t>{});
}

TEST(KeyEnvelope, UnwrapsWithThePasswordOnly)
{
    const TVaultKey key = TVaultKey::Generate();
    const auto id = NewVaultId();
    const TKeyEnvelope e = WrapVaultKey(key, "Sunset-2024!", id, kQuick);
    const std::vector<uint8_t> stored = e.Serialize();
    EXPECT_FALSE(Contains(stored, "Sunset-2024!"));
    EXPECT_FALSE(Contains(stored, "\"5313.uftovT"));

    const std::optional<TKeyEnvelope> back = TKeyEnvelope::Parse(stored);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->vaultId, id);
    const std::optional<TVaultKey> opened = UnwrapVaultKey(*back, "Sunset-2024!");
    ASSERT_TRUE(opened);
    EXPECT_TRUE(*opened == key);
    EXPECT_FALSE(UnwrapVaultKey(*back, "sunset-2024!")) << "letter case counts";
    EXPECT_FALSE(UnwrapVaultKey(*back, ""));
    EXPECT_FALSE(UnwrapVaultKey(*back, "Sunset-2024"));
}

TEST(KeyEnvelope, RewrapKeepsTheKeyAndDropsTheOldPassword)
{
    const TVaultKey key = TVaultKey::Generate();
    const TKeyEnvelope first = WrapVaultKey(key, "old", NewVaultId(), kQuick);
    const TKeyEnvelope second = RewrapVaultKey(first, key, "new", kQuick);
    EXPECT_EQ(second.vaultId, first.vaultId);
    EXPECT_NE(second.salt, first.salt);
    EXPECT_FALSE(UnwrapVaultKey(second, "old"));
    const std::optional<TVaultKey> opened = UnwrapVaultKey(second, "new");
    ASSERT_TRUE(opened);
    EXPECT_TRUE(*opened == key);
}

TEST(KeyEnvelope, RefusesForeignAndHostileEnvelopes)
{
    const TVaultKey key = TVaultKey::Generate();
    const std::vector<uint8_t> stored = WrapVaultKey(key, "pw", NewVaultId(), kQuick).Serialize();

    EXPECT_FALSE(TKeyEnvelope::Parse({}));
    EXPECT_FALSE(TKeyEnvelope::Parse(std::vector<uint8_t>(stored.begin(), stored.end() - 1)));
    std::vector<uint8_t> longer = stored;
    longer.push_back(0);
    EXPECT_FALSE(TKeyEnvelope::Parse(longer));
    std::vector<uint8_t> magic = stored;
    magic[0] = 'X';
    EXPECT_FALSE(TKeyEnvelope::Parse(magic));

    // Limits that would take gigabytes or hours are refused before deriving.
    std::vector<uint8_t> hugeMemory = stored;
    hugeMemory[9] = hugeMemory[10] = hugeMemory[11] = hugeMemory[12] = 0xFF;
    EXPECT_FALSE(TKeyEnvelope::Parse(hugeMemory));
    std::vector<uint8_t> manyPasses = stored;
    manyPasses[5] = 200;
    EXPECT_FALSE(TKeyEnvelope::Parse(manyPasses));

    // Lowered limits or another vault id parse, but no longer unwrap.
    std::vector<uint8_t> otherId = stored;
    otherId[5 + 8 + 16] ^= 1;
    const std::optional<TKeyEnvelope> moved = TKeyEnvelope::Parse(otherId);
    ASSERT_TRUE(moved);
    EXPECT_FALSE(UnwrapVaultKey(*moved, "pw"));
    EXPECT_THROW(WrapVaultKey(key, "pw", NewVaultId(), TPasswordHashLimits{0, 8 * 1024}), Exception);
}
