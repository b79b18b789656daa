#include "engine/depth_records.h"

#include <algorithm>

namespace talvik {

std::uintptr_t DepthRecords::Add(const DepthRecord& record)
{
    auto kept = std::make_unique<DepthRecord>(record);
    const auto address = reinterpret_cast<std::uintptr_t>(kept.get());
    std::lock_guard<std::mutex> hold(lock_);
    if (records_.size() == kMaxWaiting)
        records_.pop_front();
    records_.push_back(std::move(kept));
    return address;
}

void DepthRecords::Release(std::uintptr_t userData)
{
    std::lock_guard<std::mutex> hold(lock_);
    const auto found = std::find_if(records_.begin(), records_.end(), [userData](const auto& record) {
        return reinterpret_cast<std::uintptr_t>(record.get()) == userData;
    });
    if (found != records_.end())
        records_.erase(found);
}

void DepthRecords::Clear()
{
    std::lock_guard<std::mutex> hold(lock_);
    records_.clear();
}

std::size_t DepthRecords::waiting() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return records_.size();
}

} // namespace talvik
