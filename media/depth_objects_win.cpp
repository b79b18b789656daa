#include "media/depth_objects.h"

#include "base/byte_order.h"

#include <spdlog/spdlog.h>

#include <windows.h>

namespace talvik {

struct DepthObjects::Handles {};

DepthObjects::DepthObjects() : handles_(std::make_unique<Handles>())
{
    // Everyone may open the objects: a present, null DACL.
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
    SECURITY_ATTRIBUTES* everyone = &attributes;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
        spdlog::error("VideoDriver depth security descriptor failed: {0}", GetLastError());
        everyone = nullptr;
    }

    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, everyone, PAGE_READWRITE, 0, kDepthSectionBytes,
                                        "ZARSharedMemory");
    if (!section) {
        spdlog::error("VideoDriver depth object {0} failed: {1}", "ZARSharedMemory", GetLastError());
    } else {
        auto* view = static_cast<std::uint8_t*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        if (!view) {
            spdlog::error("VideoDriver depth object {0} failed: {1}", "ZARSharedMemory", GetLastError());
            CloseHandle(section);
        } else {
            StoreU32Le(view, kDepthWidth);
            StoreU32Le(view + 4, kDepthHeight);
        }
    }
    if (!CreateMutexA(nullptr, FALSE, "ZARSharedMemoryMutex"))
        spdlog::error("VideoDriver depth object {0} failed: {1}", "ZARSharedMemoryMutex", GetLastError());
    if (!CreateEventA(nullptr, FALSE, FALSE, "ZARFrameUpdatedEvent"))
        spdlog::error("VideoDriver depth object {0} failed: {1}", "ZARFrameUpdatedEvent", GetLastError());
}

// The handles stay open until the process ends (see the header).
DepthObjects::~DepthObjects() = default;

} // namespace talvik
