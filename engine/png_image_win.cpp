#include "engine/png_image.h"

#include <windows.h>
#include <wincodec.h>

#include <memory>

namespace talvik {
namespace {

struct ReleaseCom {
    void operator()(IUnknown* object) const { object->Release(); }
};
template <class T>
using Com = std::unique_ptr<T, ReleaseCom>;

// The object a COM creation call hands out through `create(T**)`, or null
// when the call fails.
template <class T, class Create>
Com<T> Make(Create create)
{
    T* raw = nullptr;
    if (FAILED(create(&raw)))
        return nullptr;
    return Com<T>(raw);
}

} // namespace

OverlayImage LoadPngImage(int resourceId)
{
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(resourceId), "PNG");
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    auto* bytes = loaded != nullptr ? static_cast<BYTE*>(LockResource(loaded)) : nullptr;
    if (bytes == nullptr)
        return {};

    auto factory = Make<IWICImagingFactory>([](IWICImagingFactory** out) {
        return CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(out));
    });
    if (!factory)
        return {};
    auto stream = Make<IWICStream>([&](IWICStream** out) { return factory->CreateStream(out); });
    if (!stream || FAILED(stream->InitializeFromMemory(bytes, SizeofResource(module, found))))
        return {};
    auto decoder = Make<IWICBitmapDecoder>([&](IWICBitmapDecoder** out) {
        return factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnLoad, out);
    });
    auto frame = decoder ? Make<IWICBitmapFrameDecode>([&](IWICBitmapFrameDecode** out) {
        return decoder->GetFrame(0, out);
    })
                         : nullptr;
    auto converter =
        Make<IWICFormatConverter>([&](IWICFormatConverter** out) { return factory->CreateFormatConverter(out); });
    UINT width = 0;
    UINT height = 0;
    if (!frame || !converter ||
        FAILED(converter->Initialize(frame.get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr,
                                     0.0, WICBitmapPaletteTypeCustom)) ||
        FAILED(converter->GetSize(&width, &height)))
        return {};

    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(width) * height * 4);
    if (FAILED(converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(bgra.size()), bgra.data())))
        return {};
    return ImageFromArtwork(std::move(bgra), width, height);
}

} // namespace talvik
