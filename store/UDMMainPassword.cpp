// The vault password: one hidden record whose name holds the vault key
// wrapped under the password (older vaults: the scrambled password, which
// is read once and replaced).
#include "UDMMain.h"

#include "platform/Cleanup.h"
#include "platform/Text.h"

#include <QByteArray>
#include <QString>

namespace {

const char* const kPasswordKind = "\\";
// What the password dialog lets the user type.
constexpr size_t kTypeableLength = 50;

// The zlib stream of an empty file: the record obeys the required-field rule
// like any image record, and extracting it would give an empty file.
const std::vector<uint8_t> kEmptyImage{0x78, 0xDA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};

char32_t ScrambleChar(char32_t c) { return c == 0xFF ? 0 : c + 1; }

} // namespace

void CheckNewPassword(const std::string& oldPassword, const std::string& newPassword, const std::string& verified)
{
    if (oldPassword == newPassword)
        throw Exception("New password cannot be the same as old password.");
    if (newPassword != verified)
        throw Exception("New password is not verified correctly.");
}

std::string ScramblePassword(const std::string& password)
{
    const std::u32string in = QString::fromStdString(password).toStdU32String();
    std::u32string out(in.rbegin(), in.rend());
    for (char32_t& c : out)
        c = ScrambleChar(c);
    return QString::fromStdU32String(out).toStdString();
}

namespace {

// Whether some password the dialog can take scrambles to stored: a vault
// made elsewhere may hold a name no typed password gives.
bool CanBeTyped(const std::string& stored)
{
    const QString text = QString::fromStdString(stored);
    if (text.toStdString() != stored)
        return false; // not valid UTF-8: no typed text scrambles to it
    const std::u32string in = text.toStdU32String();
    if (in.size() > kTypeableLength)
        return false;
    for (char32_t c : in) {
        const char32_t typed = c == 0 ? 0xFF : c - 1;
        if (typed < 0x20 || typed == 0x7F)
            return false; // a control character
    }
    return true;
}

std::string EnvelopeText(const TKeyEnvelope& envelope)
{
    const std::vector<uint8_t> bytes = envelope.Serialize();
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()))
        .toBase64()
        .toStdString();
}

// Nothing for a name that is no envelope (a scrambled password).
std::optional<TKeyEnvelope> EnvelopeOfText(const std::string& text)
{
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        QByteArray::fromStdString(text), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    const QByteArray& bytes = *decoded;
    return TKeyEnvelope::Parse(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size())));
}

bool IsPasswordRecord(const TBlobRecord& r) { return r.kind == kPasswordKind && r.dimX == 0 && r.dimY == 0; }

} // namespace

bool TDMMain::LocatePassword()
{
    return CDS.Locate("DimX;DimY;ImageType", {int64_t{0}, int64_t{0}, std::string(kPasswordKind)}, false);
}

void TDMMain::CheckPassword(const std::string& password)
{
    if (!LocatePassword())
        return;
    const std::string stored = CDSFileName.AsString();
    if (const std::optional<TKeyEnvelope> envelope = EnvelopeOfText(stored)) {
        std::optional<TVaultKey> key = UnwrapVaultKey(*envelope, password);
        if (!key)
            throw Exception("Wrong password.");
        CDS.SetBlobCodec(TBlobCodec(std::move(*key), envelope->vaultId));
        return;
    }
    if (ScramblePassword(password) != stored) {
        if (!CanBeTyped(stored))
            throw Exception("The password of this vault cannot be typed: it was not set by Glimmerbox.");
        throw Exception("Wrong password.");
    }
    // Protected the old way, with its password readable in the file and its
    // images plain: the first open that proves the password encrypts it.
    if (!CDS.ReadOnly())
        EncryptVault(password);
}

void TDMMain::SetPassword(const std::string& oldPassword, const std::string& newPassword)
{
    if (!LocatePassword()) {
        if (!newPassword.empty())
            EncryptVault(newPassword);
        return;
    }
    const std::string stored = CDSFileName.AsString();
    const std::optional<TKeyEnvelope> envelope = EnvelopeOfText(stored);
    // The vault key: from the old password, which a change must prove. A
    // removal takes the key held since the vault was unlocked, and without
    // one needs the old password too: the images cannot be decrypted else.
    std::optional<TVaultKey> key;
    if (envelope && (!newPassword.empty() || !Encrypted())) {
        key = UnwrapVaultKey(*envelope, oldPassword);
        if (!key)
            throw Exception("Wrong password.");
    } else if (!envelope && !newPassword.empty() && ScramblePassword(oldPassword) != stored) {
        throw Exception("Wrong password.");
    }
    if (newPassword.empty()) {
        const TBlobCodec codec = key ? TBlobCodec(std::move(*key), envelope->vaultId) : CDS.BlobCodec();
        CDS.RunAtomically([&] {
            if (codec.Sealed())
                CDS.RewriteBlobs([&](const TBlobRecord& r, std::vector<uint8_t> blob) -> std::optional<std::vector<uint8_t>> {
                    if (IsPasswordRecord(r) || !IsSealedBlob(blob))
                        return std::nullopt;
                    try {
                        return codec.Unseal(std::move(blob), r.name, r.kind);
                    } catch (const ESealedBlobError&) {
                        return std::nullopt; // damaged: it stays so, and can still be deleted
                    }
                });
            // A vault made elsewhere may hold more than one password record:
            // none may stay behind a removal.
            while (LocatePassword())
                CDS.Delete();
        });
        CDS.SetBlobCodec(TBlobCodec());
        return;
    }
    if (!envelope) {
        EncryptVault(newPassword);
        return;
    }
    // The same key under the new password: not one image blob changes.
    const TKeyEnvelope rewrapped = RewrapVaultKey(*envelope, *key, newPassword, passwordLimits_);
    CDS.RunAtomically([&] { WritePasswordRecord(EnvelopeText(rewrapped)); });
    CDS.SetBlobCodec(TBlobCodec(std::move(*key), envelope->vaultId));
}

void TDMMain::EncryptVault(const std::string& password)
{
    TVaultKey key = TVaultKey::Generate();
    const std::array<uint8_t, kVaultIdBytes> vaultId = NewVaultId();
    const TKeyEnvelope envelope = WrapVaultKey(key, password, vaultId, passwordLimits_);
    const TBlobCodec codec(std::move(key), vaultId);
    const TBlobCodec previous = CDS.BlobCodec();
    try {
        CDS.RunAtomically([&] {
            // Every blob, the password record's own too: nothing of an
            // encrypted vault is read unauthenticated.
            CDS.RewriteBlobs([&](const TBlobRecord& r, std::vector<uint8_t> blob) -> std::optional<std::vector<uint8_t>> {
                // A sealed blob in a plain vault came from elsewhere: it
                // stays damaged rather than be sealed twice.
                if (IsSealedBlob(blob))
                    return std::nullopt;
                return codec.Seal(std::move(blob), r.name, r.kind);
            });
            CDS.SetBlobCodec(codec);
            WritePasswordRecord(EnvelopeText(envelope));
        });
    } catch (...) {
        CDS.SetBlobCodec(previous);
        throw;
    }
}

void TDMMain::WritePasswordRecord(const std::string& text)
{
    if (LocatePassword()) {
        CDS.Edit();
    } else {
        CDS.Append();
        CDSImage.SetBytes(kEmptyImage);
    }
    CDSFileName.SetAsString(text);
    CDSDimX.SetAsInteger(0);
    CDSDimY.SetAsInteger(0);
    CDSImageType.SetAsString(kPasswordKind);
    CDS.Post();
    // Any other password record goes; the changed one is in place first.
    const std::string kept = CDSFileName.AsString();
    std::vector<std::string> others;
    {
        const std::string filter = CDS.Filter();
        const bool filtered = CDS.Filtered();
        WithCleanup(
            [&] {
                CDS.SetFilter("ImageType = '\\' AND DimX = 0 AND DimY = 0");
                CDS.SetFiltered(true);
                for (CDS.First(); !CDS.Eof(); CDS.Next())
                    if (CDSFileName.AsString() != kept)
                        others.push_back(CDSFileName.AsString());
            },
            [&] {
                CDS.SetFilter(filter);
                CDS.SetFiltered(filtered);
            });
    }
    for (const std::string& name : others)
        if (CDS.Locate("FileName;ImageType", {name, std::string(kPasswordKind)}, false))
            CDS.Delete();
    LocatePassword();
}
