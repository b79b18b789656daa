#include "media/commit_signal.h"

#include <spdlog/spdlog.h>

#include <windows.h>

namespace talvik {

struct CommitSignal::Handles {
    HANDLE event = nullptr;
};

CommitSignal::CommitSignal() : handles_(std::make_unique<Handles>())
{
    handles_->event = CreateEventA(nullptr, TRUE, FALSE, "Local\\TalvikCameraCommit");
    if (!handles_->event)
        spdlog::error("Camera file commit event failed: {0}", GetLastError());
}

CommitSignal::~CommitSignal()
{
    if (handles_->event)
        CloseHandle(handles_->event);
}

void CommitSignal::Wake(std::uint32_t*)
{
    if (handles_->event && !SetEvent(handles_->event))
        spdlog::error("Camera file commit event failed: {0}", GetLastError());
}

} // namespace talvik
