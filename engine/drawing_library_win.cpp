#include "engine/drawing_library.h"

#include <windows.h>
// GDI+ needs the COM object declarations that a lean windows.h leaves out.
#include <objidl.h>

#include <gdiplus.h>
#include <spdlog/spdlog.h>

namespace talvik {

void StartDrawingLibrary()
{
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    const Gdiplus::Status status = Gdiplus::GdiplusStartup(&token, &input, nullptr);
    if (status != Gdiplus::Ok)
        spdlog::error("GdiplusStartup failed: {0}", static_cast<int>(status));
}

} // namespace talvik
