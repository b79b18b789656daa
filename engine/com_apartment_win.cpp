#include "engine/com_apartment.h"

#include <objbase.h>

namespace talvik {

ComApartment::ComApartment()
{
    // S_FALSE (already initialised on this thread) also needs its matching
    // CoUninitialize.
    entered_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
}

ComApartment::~ComApartment()
{
    if (entered_)
        CoUninitialize();
}

} // namespace talvik
