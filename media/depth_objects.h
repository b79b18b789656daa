// The objects that depth mode publishes for a depth-aware camera consumer:
//   "ZARSharedMemory"       a 2,457,608-byte shared section whose first two
//                           32-bit values are 640 and 480 (picture size)
//   "ZARSharedMemoryMutex"  a mutex, not owned
//   "ZARFrameUpdatedEvent"  an auto-reset event, not signalled
// Creation never fails as a whole: each object that cannot be made is
// logged and left out.
//
// Windows: named kernel objects open to every account (a null DACL), since
// the consumer runs in another session than the service. They are kept for
// the rest of the process's life, also after this object goes, so that a
// consumer keeps finding them while the service runs.
// Linux: POSIX shared memory and named semaphores of the same names, for the
// user only; their names are removed when this object goes, because POSIX
// names outlive the process.
#pragma once

#include <cstdint>
#include <memory>

namespace talvik {

inline constexpr std::uint32_t kDepthSectionBytes = 2457608;
inline constexpr std::uint32_t kDepthWidth = 640;
inline constexpr std::uint32_t kDepthHeight = 480;

class DepthObjects {
public:
    DepthObjects();
    ~DepthObjects();
    DepthObjects(const DepthObjects&) = delete;
    DepthObjects& operator=(const DepthObjects&) = delete;

private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
};

} // namespace talvik
