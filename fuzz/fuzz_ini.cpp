// The INI profile: the input is the settings file; every reader runs on
// it, then a write and an erase (which must keep everything else intact).
#include "fuzz/FuzzSupport.h"
#include "platform/Exception.h"
#include "platform/IniFile.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::TScratchFile file(".ini");
    try {
        TIniFile ini(file.Write(data, size));
        // Sections named in the input, and the program's own.
        std::vector<std::string> sections = {"Kv Glimmerbox Window", "Kv Glimmerbox Reopen", ""};
        const std::string text(reinterpret_cast<const char*>(data), size);
        for (size_t at = text.find('['); at != std::string::npos && sections.size() < 8; at = text.find('[', at + 1)) {
            const size_t close = text.find(']', at);
            if (close == std::string::npos)
                break;
            sections.push_back(text.substr(at + 1, close - at - 1));
        }
        // Every read loads the file again: a few keys of each section keep a
        // run short enough for a million of them.
        constexpr size_t kKeysRead = 8;
        for (const std::string& s : sections) {
            ini.SectionExists(s);
            const std::vector<std::string> keys = ini.ReadSection(s);
            for (size_t k = 0; k < std::min(keys.size(), kKeysRead); ++k) {
                const std::string& key = keys[k];
                ini.ReadString(s, key, "");
                ini.ReadInteger(s, key, 0);
                ini.ReadBool(s, key, false);
                ini.ValueExists(s, key);
            }
        }
        ini.DeleteKey(sections.back(), "Count");
        ini.EraseSection(sections.back());
        ini.WriteInteger(sections[0], "Left", 10);
        if (ini.ReadInteger(sections[0], "Left", 0) != 10)
            __builtin_trap(); // a written value must read back
    } catch (const Exception&) {
    }
    return 0;
}
