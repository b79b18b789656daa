#include "engine/text_image.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <memory>
#include <optional>

namespace talvik {
namespace {

// The file and face index fontconfig chooses for "Segoe UI".
struct FontFile {
    std::string path;
    int index = 0;
};

std::optional<FontFile> MatchSegoeUi()
{
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("Segoe UI"));
    if (pattern == nullptr)
        return std::nullopt;
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    if (match == nullptr)
        return std::nullopt;
    std::optional<FontFile> file;
    FcChar8* path = nullptr;
    int index = 0;
    if (FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch) {
        FcPatternGetInteger(match, FC_INDEX, 0, &index);
        file = FontFile{reinterpret_cast<const char*>(path), index};
    }
    FcPatternDestroy(match);
    return file;
}

struct FreeLibrary {
    void operator()(FT_Library library) const { FT_Done_FreeType(library); }
};
struct FreeFace {
    void operator()(FT_Face face) const { FT_Done_Face(face); }
};

} // namespace

OverlayImage CreateTextImage(const std::string& text, int fontHeight)
{
    const std::optional<FontFile> file = MatchSegoeUi();
    FT_Library rawLibrary = nullptr;
    if (!file || fontHeight <= 0 || FT_Init_FreeType(&rawLibrary) != 0)
        return {};
    std::unique_ptr<FT_LibraryRec_, FreeLibrary> library(rawLibrary);
    FT_Face rawFace = nullptr;
    if (FT_New_Face(library.get(), file->path.c_str(), file->index, &rawFace) != 0)
        return {};
    std::unique_ptr<FT_FaceRec_, FreeFace> face(rawFace);

    // GDI's sizing: the height is the cell (the Windows ascent plus
    // descent), the width the font's average character width.
    const double units = face->units_per_EM;
    double cell = static_cast<double>(face->ascender - face->descender);
    double ascent = face->ascender;
    double averageWidth = units / 2;
    if (const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face.get(), FT_SFNT_OS2));
        os2 != nullptr && os2->usWinAscent + os2->usWinDescent > 0 && os2->xAvgCharWidth > 0) {
        cell = os2->usWinAscent + os2->usWinDescent;
        ascent = os2->usWinAscent;
        averageWidth = os2->xAvgCharWidth;
    }
    const double pixelsPerUnit = fontHeight / cell;
    const auto widthPpem = static_cast<FT_F26Dot6>(fontHeight / 2 * units / averageWidth * 64 + 0.5);
    const auto heightPpem = static_cast<FT_F26Dot6>(units * pixelsPerUnit * 64 + 0.5);
    if (cell <= 0 || FT_Set_Char_Size(face.get(), widthPpem, heightPpem, 72, 72) != 0)
        return {};
    const long ascender = static_cast<long>(ascent * pixelsPerUnit + 0.5);

    long advance = 0;
    for (unsigned char c : text)
        if (FT_Load_Char(face.get(), c, FT_LOAD_DEFAULT) == 0)
            advance += (face->glyph->advance.x + 32) / 64;
    const std::uint32_t width = static_cast<std::uint32_t>((advance + 1) & ~1L);
    const std::uint32_t height = static_cast<std::uint32_t>((fontHeight + 1) & ~1);
    if (width == 0)
        return {};

    std::vector<std::uint8_t> bgrx(static_cast<std::size_t>(width) * height * 4, 0);
    long pen = 0;
    for (unsigned char c : text) {
        if (FT_Load_Char(face.get(), c, FT_LOAD_RENDER) != 0)
            continue;
        const FT_GlyphSlot glyph = face->glyph;
        const FT_Bitmap& bitmap = glyph->bitmap;
        for (unsigned row = 0; row < bitmap.rows; ++row) {
            const long y = ascender - glyph->bitmap_top + static_cast<long>(row);
            if (y < 0 || y >= static_cast<long>(height))
                continue;
            for (unsigned column = 0; column < bitmap.width; ++column) {
                const long x = pen + glyph->bitmap_left + static_cast<long>(column);
                if (x < 0 || x >= static_cast<long>(width))
                    continue;
                const std::uint8_t coverage = bitmap.buffer[static_cast<long>(row) * bitmap.pitch + column];
                std::uint8_t* pixel = &bgrx[(static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x)) * 4];
                const std::uint8_t value = std::max(pixel[0], coverage);
                pixel[0] = pixel[1] = pixel[2] = value;
            }
        }
        pen += (glyph->advance.x + 32) / 64;
    }
    return ImageFromTextRaster(std::move(bgrx), width, height);
}

} // namespace talvik
