// The media benchmarks' codec libraries: the system's own, bound through the
// product's binding as the service binds them.
#pragma once

namespace talvik::bench {

// False, with a line on standard error, when they cannot be bound.
bool BindSystemCodecLibraries();

} // namespace talvik::bench
