// A file mapped whole, shared, for reading and writing: the camera file's
// memory on both sides. Other processes may grow the file at any time;
// Refresh() follows its size.
//
// Errors are system codes (errno, or GetLastError() on Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace talvik {

class MappedFile {
public:
    // Opens an existing file and maps all of it; null with `error` set when
    // it cannot be opened or mapped (an empty file cannot be mapped).
    static std::unique_ptr<MappedFile> Open(const std::string& path, std::uint32_t& error);

    // Creates `path` holding `initial` and then zeros up to `bytes`, unless
    // it exists already. Another process sees the file whole or not at all.
    // 0, or the error.
    static std::uint32_t CreateIfMissing(const std::string& path, const std::vector<std::uint8_t>& initial,
                                         std::uint64_t bytes);

    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::uint8_t* data() const { return data_; }
    std::uint64_t size() const { return size_; }

    // Writes `count` bytes at `offset` through the file rather than the
    // mapping: where another process has cut the file shorter meanwhile,
    // the write grows it back instead of faulting (Linux), and on Windows,
    // where a mapped file cannot be cut, it copies into the mapping, within
    // its size. 0, or the error.
    std::uint32_t WriteAt(std::uint64_t offset, const std::uint8_t* bytes, std::size_t count);

    // Maps the file again when its size differs from the mapping's. Every
    // pointer into the old mapping is invalid afterwards. 0, or the error
    // (then nothing is mapped and size() is 0).
    std::uint32_t Refresh();

private:
    struct Handles;
    MappedFile(std::unique_ptr<Handles> handles);
    std::uint32_t Map();
    void Unmap();

    std::unique_ptr<Handles> handles_;
    std::uint8_t* data_ = nullptr;
    std::uint64_t size_ = 0;
};

} // namespace talvik
