// The platform's drawing library, started once for the whole process and
// never shut down. Windows: GDI+ version 1 with the default start-up input;
// a failed start is logged. Linux: there is nothing to start.
//
// Called by the engine's construction only after the codec libraries were
// bound.
#pragma once

namespace talvik {

void StartDrawingLibrary();

} // namespace talvik
