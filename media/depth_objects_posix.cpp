#include "media/depth_objects.h"

#include "base/byte_order.h"

#include <spdlog/spdlog.h>

#include <cerrno>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>

namespace talvik {

namespace {

constexpr const char* kSectionName = "/ZARSharedMemory";
constexpr const char* kMutexName = "/ZARSharedMemoryMutex";
constexpr const char* kEventName = "/ZARFrameUpdatedEvent";

sem_t* OpenSemaphore(const char* name, unsigned value)
{
    sem_t* semaphore = sem_open(name, O_CREAT, 0600, value);
    if (semaphore == SEM_FAILED) {
        spdlog::error("VideoDriver depth object {0} failed: {1}", name, errno);
        return nullptr;
    }
    return semaphore;
}

} // namespace

struct DepthObjects::Handles {
    void* view = nullptr;
    sem_t* mutex = nullptr;
    sem_t* event = nullptr;
};

DepthObjects::DepthObjects() : handles_(std::make_unique<Handles>())
{
    const int fd = shm_open(kSectionName, O_CREAT | O_RDWR, 0600);
    if (fd < 0) {
        spdlog::error("VideoDriver depth object {0} failed: {1}", kSectionName, errno);
    } else {
        if (ftruncate(fd, kDepthSectionBytes) != 0) {
            spdlog::error("VideoDriver depth object {0} failed: {1}", kSectionName, errno);
        } else {
            void* view = mmap(nullptr, kDepthSectionBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (view == MAP_FAILED) {
                spdlog::error("VideoDriver depth object {0} failed: {1}", kSectionName, errno);
            } else {
                handles_->view = view;
                StoreU32Le(static_cast<std::uint8_t*>(view), kDepthWidth);
                StoreU32Le(static_cast<std::uint8_t*>(view) + 4, kDepthHeight);
            }
        }
        close(fd);
    }
    handles_->mutex = OpenSemaphore(kMutexName, 1);
    handles_->event = OpenSemaphore(kEventName, 0);
}

DepthObjects::~DepthObjects()
{
    if (handles_->view) {
        munmap(handles_->view, kDepthSectionBytes);
        shm_unlink(kSectionName);
    }
    if (handles_->mutex) {
        sem_close(handles_->mutex);
        sem_unlink(kMutexName);
    }
    if (handles_->event) {
        sem_close(handles_->event);
        sem_unlink(kEventName);
    }
}

} // namespace talvik
