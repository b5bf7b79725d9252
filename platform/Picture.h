#pragma once
// The picture container: holds one graphic of whatever class its file's
// extension names. Graphic classes register themselves by extension; the
// platform registers "bmp" and "ico", the catalogue the metafiles and JPEG,
// the GIF codec "gif".
#include "platform/Graphic.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct TGraphicFormat {
    std::string Extension;   // lower case, without the dot
    std::string Description; // e.g. "GIF Image"
    std::function<std::unique_ptr<TGraphic>()> Create;
};

// Adds or replaces the class for an extension (case-insensitive, with or
// without a leading dot). Thread-safe.
void RegisterFileFormat(const std::string& extension, const std::string& description,
                        std::function<std::unique_ptr<TGraphic>()> create);
void UnregisterFileFormat(const std::string& extension);
// The registered formats in registration order.
std::vector<TGraphicFormat> RegisteredFileFormats();
// The loader's refusal of a file whose extension no graphic class knows:
// "Unknown picture file extension (.%s)" with the path's extension.
std::string UnknownPictureExtension(const std::string& path);
// Creates an empty graphic for the extension, or nullptr when none is known.
std::unique_ptr<TGraphic> CreateGraphicForExtension(const std::string& extension);

class TPicture {
public:
    TPicture();
    TPicture(const TPicture&) = delete;
    TPicture& operator=(const TPicture&) = delete;

    // Picks the class by the file's extension; an unknown one raises
    // "Unknown picture file extension (.%s)". The graphic is replaced only
    // when the new one loaded.
    void LoadFromFile(const std::string& path);
    // Loads a stream as the class registered for the extension.
    void LoadFromStream(TStream& stream, const std::string& extension);
    void SaveToFile(const std::string& path) const;

    TGraphic* Graphic() const { return graphic_.get(); }
    void SetGraphic(std::unique_ptr<TGraphic> graphic);
    int Width() const { return graphic_ ? graphic_->Width() : 0; }
    int Height() const { return graphic_ ? graphic_->Height() : 0; }
    void Clear() { SetGraphic(nullptr); }

    std::function<void(TPicture&)> OnChange;

private:
    std::unique_ptr<TGraphic> graphic_;
};

// Registers the platform's own classes (bitmap and icon); done on first
// use of the registry, callable again without harm.
void RegisterPlatformGraphics();
