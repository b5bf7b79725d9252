// The vault password: one hidden record whose name holds the scrambled
// password. It protects the program's door, not the bytes.
#include "UDMMain.h"

#include "platform/Text.h"

#include <QString>

namespace {

const char* const kPasswordKind = "\\";
constexpr size_t kNameWidth = 32;

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

bool TDMMain::LocatePassword()
{
    return CDS.Locate("DimX;DimY;ImageType", {int64_t{0}, int64_t{0}, std::string(kPasswordKind)}, false);
}

void TDMMain::CheckPassword(const std::string& password)
{
    if (!LocatePassword())
        return;
    if (ScramblePassword(password) != CDSFileName.AsString())
        throw Exception("Wrong password.");
}

void TDMMain::SetPassword(const std::string& oldPassword, const std::string& newPassword)
{
    if (newPassword.empty()) {
        if (LocatePassword())
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
}
