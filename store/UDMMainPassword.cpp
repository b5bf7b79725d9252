// The vault password: one hidden record whose name holds the scrambled
// password. It protects the program's door, not the bytes.
#include "UDMMain.h"

#include "platform/Cleanup.h"
#include "platform/Text.h"

#include <QString>

namespace {

const char* const kPasswordKind = "\\";
constexpr size_t kNameWidth = 32;
// What the password dialog lets the user type.
constexpr size_t kTypeableLength = 50;

// The zlib stream of an empty file: the record obeys the required-field rule
// like any image record, and extracting it would give an empty file.
const std::vector<uint8_t> kEmptyImage{0x78, 0xDA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};

char32_t ScrambleChar(char32_t c) { return c == 0xFF ? 0 : c + 1; }

bool ValidCodePoint(char32_t c) { return c != 0 && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

} // namespace

std::string ScramblePassword(const std::string& password)
{
    const std::u32string in = QString::fromStdString(password).toStdU32String();
    std::u32string out(in.rbegin(), in.rend());
    for (char32_t& c : out)
        c = ScrambleChar(c);
    return QString::fromStdU32String(out).toStdString();
}

bool PasswordFitsField(const std::string& password)
{
    const std::u32string in = QString::fromStdString(password).toStdU32String();
    if (in.size() > kNameWidth)
        return false;
    for (char32_t c : in)
        if (!ValidCodePoint(ScrambleChar(c)))
            return false;
    return true;
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
    if (ScramblePassword(password) == stored)
        return;
    if (!CanBeTyped(stored))
        throw Exception("The password of this vault cannot be typed: it was not set by Glimmerbox.");
    throw Exception("Wrong password.");
}

void TDMMain::SetPassword(const std::string& oldPassword, const std::string& newPassword)
{
    // A vault made elsewhere may hold more than one password record: none
    // may stay behind a removal, only the first behind a change.
    if (newPassword.empty()) {
        while (LocatePassword())
            CDS.Delete();
        return;
    }
    if (!PasswordFitsField(newPassword))
        throw Exception("This password cannot be stored: use at most 32 characters, without the character \xC3\xBF (code 255).");
    if (LocatePassword()) {
        if (ScramblePassword(oldPassword) != CDSFileName.AsString())
            throw Exception("Wrong password.");
        CDS.Edit();
    } else {
        CDS.Append();
        CDSImage.SetBytes(kEmptyImage);
    }
    CDSFileName.SetAsString(ScramblePassword(newPassword));
    CDSDimX.SetAsInteger(0);
    CDSDimY.SetAsInteger(0);
    CDSImageType.SetAsString(kPasswordKind);
    CDS.Post();
    // Any other password record goes; the changed one is in place first, so
    // a failure here never leaves the vault without a password.
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
