#include "Text.h"

#include <QString>

namespace {
bool IsContinuationByte(unsigned char c) { return (c & 0xC0) == 0x80; }
} // namespace

size_t Utf8Length(const std::string& text)
{
    size_t n = 0;
    for (unsigned char c : text)
        if (!IsContinuationByte(c))
            ++n;
    return n;
}

std::string Utf8Left(const std::string& text, size_t count)
{
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!IsContinuationByte(static_cast<unsigned char>(text[i]))) {
            if (chars == count)
                return text.substr(0, i);
            ++chars;
        }
    }
    return text;
}

std::string Utf8LeftBytes(const std::string& text, size_t bytes)
{
    if (text.size() <= bytes)
        return text;
    size_t end = bytes;
    while (end > 0 && IsContinuationByte(static_cast<unsigned char>(text[end])))
        --end;
    return text.substr(0, end);
}

bool SameText(const std::string& a, const std::string& b)
{
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

std::string LowerCase(const std::string& text) { return QString::fromStdString(text).toLower().toStdString(); }

std::string UpperCase(const std::string& text) { return QString::fromStdString(text).toUpper().toStdString(); }
