#include "engine/drawing_library.h"

namespace talvik {

void StartDrawingLibrary() {}

} // namespace talvik
