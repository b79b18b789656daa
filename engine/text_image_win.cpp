#include "engine/text_image.h"

#include <windows.h>

#include <cstring>

namespace talvik {

OverlayImage CreateTextImage(const std::string& text, int fontHeight)
{
    // GDI takes height 0 for "the default size"; a frame too narrow for any
    // text gets none, as on Linux.
    if (fontHeight <= 0)
        return {};
    HDC context = CreateCompatibleDC(nullptr);
    if (context == nullptr)
        return {};
    HFONT font = CreateFontA(fontHeight, fontHeight / 2, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, FF_ROMAN | DEFAULT_PITCH, "Segoe UI");
    OverlayImage image;
    if (font != nullptr) {
        SelectObject(context, font);
        SetTextColor(context, RGB(255, 255, 255));
        SetBkColor(context, RGB(0, 0, 0));
        SIZE extent{};
        GetTextExtentPoint32A(context, text.c_str(), static_cast<int>(text.size()), &extent);
        const LONG width = (extent.cx + 1) & ~1L;
        const LONG height = (extent.cy + 1) & ~1L;

        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height; // top-down
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        HBITMAP section = width > 0 && height > 0
                              ? CreateDIBSection(context, &info, DIB_RGB_COLORS, &bits, nullptr, 0)
                              : nullptr;
        if (section != nullptr) {
            SelectObject(context, section);
            TextOutA(context, 0, 0, text.c_str(), static_cast<int>(text.size()));
            GdiFlush();
            // The image keeps its own copy, so the section goes with the
            // drawing context rather than living as long as the image.
            std::vector<std::uint8_t> bgrx(static_cast<std::size_t>(width) * height * 4);
            std::memcpy(bgrx.data(), bits, bgrx.size());
            DeleteDC(context);
            context = nullptr;
            DeleteObject(section);
            image = ImageFromTextRaster(std::move(bgrx), static_cast<std::uint32_t>(width),
                                        static_cast<std::uint32_t>(height));
        }
    }
    if (context != nullptr)
        DeleteDC(context);
    if (font != nullptr)
        DeleteObject(font);
    return image;
}

} // namespace talvik
