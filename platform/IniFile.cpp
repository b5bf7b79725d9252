#include "IniFile.h"

#include "Stream.h"
#include "Text.h"

#include <QFile>
#include <charconv>
#include <string_view>

namespace {

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    const size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// A byte order mark (an editor's, or several) is no part of the line it
// starts. It stays in the file: writes keep every line as it was.
std::string WithoutBom(const std::string& line)
{
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    size_t at = 0;
    while (line.compare(at, kBom.size(), kBom) == 0)
        at += kBom.size();
    return line.substr(at);
}

// "[name]" gives name; anything else is not a section header.
bool SectionHeader(const std::string& line, std::string& name)
{
    const std::string t = Trim(WithoutBom(line));
    if (t.size() < 2 || t.front() != '[')
        return false;
    const size_t close = t.find(']');
    if (close == std::string::npos)
        return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

bool KeyLine(const std::string& line, std::string& key, std::string& value)
{
    const std::string t = Trim(WithoutBom(line));
    if (t.empty() || t.front() == ';')
        return false;
    const size_t eq = t.find('=');
    if (eq == std::string::npos)
        return false;
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') || (value.front() == '\'' && value.back() == '\'')))
        value = value.substr(1, value.size() - 2);
    return true;
}

// Line range [begin, end) of the section's body, begin being the header.
struct SectionSpan {
    size_t header = std::string::npos;
    size_t end = 0;
};

SectionSpan FindSection(const std::vector<std::string>& lines, const std::string& section)
{
    SectionSpan span;
    std::string name;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!SectionHeader(lines[i], name))
            continue;
        if (span.header != std::string::npos) {
            span.end = i;
            return span;
        }
        if (SameText(name, section))
            span.header = i;
    }
    span.end = lines.size();
    return span;
}

} // namespace

std::vector<std::string> TIniFile::Load() const
{
    std::vector<std::string> lines;
    QFile file(QString::fromStdString(fileName_));
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    const QByteArray all = file.readAll();
    const std::string text = all.toStdString();
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        std::string line = text.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = nl + 1;
    }
    return lines;
}

void TIniFile::Store(const std::vector<std::string>& lines) const
{
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += '\n';
    }
    try {
        WriteWholeFile(std::vector<uint8_t>(text.begin(), text.end()), fileName_);
    } catch (const Exception&) {
        throw EIniFileException(Format("Unable to write to %s", fileName_.c_str()));
    }
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const
{
    const std::vector<std::string> lines = Load();
    const SectionSpan span = FindSection(lines, section);
    if (span.header == std::string::npos)
        return def;
    std::string k, v;
    for (size_t i = span.header + 1; i < span.end; ++i)
        if (KeyLine(lines[i], k, v) && SameText(k, key))
            return v;
    return def;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const
{
    const std::string s = ReadString(section, key, std::string());
    if (s.empty())
        return def;
    int value = 0;
    const char* first = s.data();
    const char* last = s.data() + s.size();
    int base = 10;
    bool negative = false;
    if (*first == '-' || *first == '+') {
        negative = *first == '-';
        ++first;
    }
    if (last - first > 1 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X')) {
        base = 16;
        first += 2;
    } else if (first < last && first[0] == '$') {
        base = 16;
        ++first;
    }
    const auto [ptr, ec] = std::from_chars(first, last, value, base);
    if (ec != std::errc() || ptr != last || first == last)
        return def;
    return negative ? -value : value;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const
{
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    std::vector<std::string> lines = Load();
    SectionSpan span = FindSection(lines, section);
    const std::string entry = key + "=" + value;
    if (span.header == std::string::npos) {
        if (!lines.empty() && !Trim(lines.back()).empty())
            lines.emplace_back();
        lines.push_back("[" + section + "]");
        lines.push_back(entry);
        Store(lines);
        return;
    }
    std::string k, v;
    size_t lastEntry = span.header;
    for (size_t i = span.header + 1; i < span.end; ++i) {
        if (KeyLine(lines[i], k, v)) {
            if (SameText(k, key)) {
                lines[i] = entry;
                Store(lines);
                return;
            }
            lastEntry = i;
        }
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(lastEntry + 1), entry);
    Store(lines);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value)
{
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}

bool TIniFile::SectionExists(const std::string& section) const
{
    return FindSection(Load(), section).header != std::string::npos;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const
{
    const std::vector<std::string> keys = ReadSection(section);
    for (const std::string& k : keys)
        if (SameText(k, key))
            return true;
    return false;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const
{
    std::vector<std::string> keys;
    const std::vector<std::string> lines = Load();
    const SectionSpan span = FindSection(lines, section);
    if (span.header == std::string::npos)
        return keys;
    std::string k, v;
    for (size_t i = span.header + 1; i < span.end; ++i)
        if (KeyLine(lines[i], k, v))
            keys.push_back(k);
    return keys;
}

void TIniFile::EraseSection(const std::string& section)
{
    std::vector<std::string> lines = Load();
    const SectionSpan span = FindSection(lines, section);
    if (span.header == std::string::npos)
        return;
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(span.header), lines.begin() + static_cast<std::ptrdiff_t>(span.end));
    Store(lines);
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key)
{
    std::vector<std::string> lines = Load();
    const SectionSpan span = FindSection(lines, section);
    if (span.header == std::string::npos)
        return;
    std::string k, v;
    for (size_t i = span.header + 1; i < span.end; ++i) {
        if (KeyLine(lines[i], k, v) && SameText(k, key)) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
            Store(lines);
            return;
        }
    }
}
