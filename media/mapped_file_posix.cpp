#include "media/mapped_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvik {

namespace {

std::uint32_t LastError()
{
    return static_cast<std::uint32_t>(errno);
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

struct MappedFile::Handles {
    int fd = -1;
};

MappedFile::MappedFile(std::unique_ptr<Handles> handles) : handles_(std::move(handles)) {}

MappedFile::~MappedFile()
{
    Unmap();
    close(handles_->fd);
}

std::unique_ptr<MappedFile> MappedFile::Open(const std::string& path, std::uint32_t& error)
{
    auto handles = std::make_unique<Handles>();
    handles->fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (handles->fd < 0) {
        error = LastError();
        return nullptr;
    }
    std::unique_ptr<MappedFile> file(new MappedFile(std::move(handles)));
    error = file->Map();
    return error == 0 ? std::move(file) : nullptr;
}

std::uint32_t MappedFile::CreateIfMissing(const std::string& path, const std::vector<std::uint8_t>& initial,
                                          std::uint64_t bytes)
{
    struct stat info;
    if (stat(path.c_str(), &info) == 0)
        return 0;
    // Built under a temporary name and linked into place, which fails
    // rather than replaces when another process got there first.
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return LastError();
    std::uint32_t error = 0;
    if (!WriteAll(fd, initial) || ftruncate(fd, static_cast<off_t>(bytes)) != 0)
        error = LastError();
    if (close(fd) != 0 && error == 0)
        error = LastError();
    if (error == 0 && link(temporary.c_str(), path.c_str()) != 0 && errno != EEXIST)
        error = LastError();
    unlink(temporary.c_str());
    return error;
}

std::uint32_t MappedFile::Map()
{
    struct stat info;
    if (fstat(handles_->fd, &info) != 0)
        return LastError();
    if (info.st_size <= 0)
        return EINVAL;
    void* view = mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ | PROT_WRITE, MAP_SHARED,
                      handles_->fd, 0);
    if (view == MAP_FAILED)
        return LastError();
    data_ = static_cast<std::uint8_t*>(view);
    size_ = static_cast<std::uint64_t>(info.st_size);
    return 0;
}

void MappedFile::Unmap()
{
    if (data_)
        munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
}

std::uint32_t MappedFile::WriteAt(std::uint64_t offset, const std::uint8_t* bytes, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = pwrite(handles_->fd, bytes + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return LastError();
        if (n == 0)
            return EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

std::uint32_t MappedFile::Refresh()
{
    struct stat info;
    if (fstat(handles_->fd, &info) != 0)
        return LastError();
    if (data_ && static_cast<std::uint64_t>(info.st_size) == size_)
        return 0;
    Unmap();
    return Map();
}

} // namespace talvik
