#include "session/read_buffer_pool.h"

#include <cstdlib>
#include <cstring>

namespace talvik {

namespace {

struct Prefix {
    std::uint32_t pooled;
    std::uint32_t size;
};
static_assert(sizeof(Prefix) == 8);

char* NewBuffer(std::size_t size, bool pooled)
{
    auto* block = static_cast<char*>(std::malloc(sizeof(Prefix) + size));
    if (!block)
        return nullptr;
    Prefix prefix{pooled ? 1u : 0u, static_cast<std::uint32_t>(size)};
    std::memcpy(block, &prefix, sizeof prefix);
    return block + sizeof(Prefix);
}

Prefix PrefixOf(const char* data)
{
    Prefix prefix;
    std::memcpy(&prefix, data - sizeof(Prefix), sizeof prefix);
    return prefix;
}

void FreeBuffer(char* data)
{
    std::free(data - sizeof(Prefix));
}

} // namespace

ReadBufferPool::~ReadBufferPool()
{
    for (char* buffer : slots_)
        if (buffer)
            FreeBuffer(buffer);
}

char* ReadBufferPool::Acquire(std::size_t suggested, std::size_t* granted)
{
    if (suggested > kPlainThreshold) {
        *granted = suggested < kBufferBytes ? suggested : kBufferBytes;
        for (char*& slot : slots_) {
            if (slot) {
                char* buffer = slot;
                slot = nullptr;
                return buffer;
            }
        }
        if (created_ < kSlots) {
            char* buffer = NewBuffer(kBufferBytes, true);
            if (buffer)
                ++created_;
            return buffer;
        }
        suggested = kPlainThreshold;
    }
    *granted = suggested;
    return NewBuffer(suggested, false);
}

void ReadBufferPool::Release(char* data)
{
    if (!data)
        return;
    if (PrefixOf(data).pooled) {
        for (char*& slot : slots_) {
            if (!slot) {
                slot = data;
                return;
            }
        }
    }
    FreeBuffer(data);
}

int ReadBufferPool::SlotOf(const char* data) const
{
    for (std::size_t i = 0; i < kSlots; ++i)
        if (slots_[i] == data)
            return static_cast<int>(i);
    return -1;
}

} // namespace talvik
