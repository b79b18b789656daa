#include "engine/com_apartment.h"

namespace talvik {

ComApartment::ComApartment() = default;
ComApartment::~ComApartment() = default;

} // namespace talvik
