#include "Picture.h"

#include "Bitmap.h"
#include "Exception.h"
#include "Icon.h"
#include "Paths.h"
#include "Stream.h"
#include "Text.h"

#include <mutex>

namespace {

struct Registry {
    std::mutex lock;
    std::vector<TGraphicFormat> formats;
};

Registry& TheRegistry()
{
    static Registry registry;
    return registry;
}

std::string NormalExtension(const std::string& extension)
{
    std::string e = extension;
    if (!e.empty() && e[0] == '.')
        e.erase(0, 1);
    return LowerCase(e);
}

void AddFormat(Registry& r, const std::string& extension, const std::string& description,
               std::function<std::unique_ptr<TGraphic>()> create)
{
    const std::string ext = NormalExtension(extension);
    for (auto& f : r.formats)
        if (f.Extension == ext) {
            f.Description = description;
            f.Create = std::move(create);
            return;
        }
    r.formats.push_back({ext, description, std::move(create)});
}

void EnsurePlatformFormats()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Registry& r = TheRegistry();
        std::lock_guard guard(r.lock);
        AddFormat(r, "bmp", "Bitmaps", [] { return std::make_unique<TBitmap>(); });
        AddFormat(r, "ico", "Icons", [] { return std::make_unique<TIcon>(); });
    });
}

// Extension of the last path component, without the dot, as written.
std::string ExtensionOf(const std::string& path)
{
    const std::string ext = ExtractFileExt(path);
    return ext.empty() ? ext : ext.substr(1);
}

} // namespace

void RegisterPlatformGraphics() { EnsurePlatformFormats(); }

void RegisterFileFormat(const std::string& extension, const std::string& description,
                        std::function<std::unique_ptr<TGraphic>()> create)
{
    EnsurePlatformFormats();
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    AddFormat(r, extension, description, std::move(create));
}

void UnregisterFileFormat(const std::string& extension)
{
    EnsurePlatformFormats();
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    const std::string ext = NormalExtension(extension);
    std::erase_if(r.formats, [&](const TGraphicFormat& f) { return f.Extension == ext; });
}

std::vector<TGraphicFormat> RegisteredFileFormats()
{
    EnsurePlatformFormats();
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    return r.formats;
}

std::unique_ptr<TGraphic> CreateGraphicForExtension(const std::string& extension)
{
    EnsurePlatformFormats();
    std::function<std::unique_ptr<TGraphic>()> create;
    {
        Registry& r = TheRegistry();
        std::lock_guard guard(r.lock);
        const std::string ext = NormalExtension(extension);
        for (const auto& f : r.formats)
            if (f.Extension == ext)
                create = f.Create;
    }
    return create ? create() : nullptr;
}

TPicture::TPicture() = default;

void TPicture::LoadFromStream(TStream& stream, const std::string& extension)
{
    std::unique_ptr<TGraphic> graphic = CreateGraphicForExtension(extension);
    if (!graphic)
        throw Exception(Format("Unknown picture file extension (.%s)", NormalExtension(extension).c_str()));
    graphic->LoadFromStream(stream);
    SetGraphic(std::move(graphic));
}

std::string UnknownPictureExtension(const std::string& path)
{
    return Format("Unknown picture file extension (.%s)", ExtensionOf(path).c_str());
}

void TPicture::LoadFromFile(const std::string& path)
{
    std::unique_ptr<TGraphic> graphic = CreateGraphicForExtension(ExtensionOf(path));
    if (!graphic)
        throw Exception(UnknownPictureExtension(path));
    graphic->LoadFromFile(path);
    SetGraphic(std::move(graphic));
}

void TPicture::SaveToFile(const std::string& path) const
{
    if (graphic_)
        graphic_->SaveToFile(path);
}

void TPicture::SetGraphic(std::unique_ptr<TGraphic> graphic)
{
    graphic_ = std::move(graphic);
    if (graphic_)
        graphic_->OnChange = [this](TGraphic&) {
            if (OnChange)
                OnChange(*this);
        };
    if (OnChange)
        OnChange(*this);
}
