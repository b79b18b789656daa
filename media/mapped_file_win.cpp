#include "media/mapped_file.h"

#include <windows.h>

#include <cstring>

namespace talvik {

namespace {

bool WriteAll(HANDLE file, const std::vector<std::uint8_t>& bytes)
{
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::uint32_t Resize(HANDLE file, std::uint64_t bytes)
{
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(bytes);
    if (!SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file))
        return GetLastError();
    return 0;
}

} // namespace

struct MappedFile::Handles {
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE mapping = nullptr;
};

MappedFile::MappedFile(std::unique_ptr<Handles> handles) : handles_(std::move(handles)) {}

MappedFile::~MappedFile()
{
    Unmap();
    CloseHandle(handles_->file);
}

std::unique_ptr<MappedFile> MappedFile::Open(const std::string& path, std::uint32_t& error)
{
    auto handles = std::make_unique<Handles>();
    handles->file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handles->file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return nullptr;
    }
    std::unique_ptr<MappedFile> file(new MappedFile(std::move(handles)));
    error = file->Map();
    return error == 0 ? std::move(file) : nullptr;
}

std::uint32_t MappedFile::CreateIfMissing(const std::string& path, const std::vector<std::uint8_t>& initial,
                                          std::uint64_t bytes)
{
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return 0;
    // Built under a temporary name and moved into place, which fails rather
    // than replaces when another process got there first.
    const std::string temporary = path + ".new" + std::to_string(GetCurrentProcessId());
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    std::uint32_t error = WriteAll(file, initial) ? Resize(file, bytes) : GetLastError();
    if (!CloseHandle(file) && error == 0)
        error = GetLastError();
    if (error == 0 && !MoveFileExA(temporary.c_str(), path.c_str(), 0) && GetLastError() != ERROR_ALREADY_EXISTS)
        error = GetLastError();
    DeleteFileA(temporary.c_str());
    return error;
}

std::uint32_t MappedFile::Map()
{
    LARGE_INTEGER bytes;
    if (!GetFileSizeEx(handles_->file, &bytes))
        return GetLastError();
    if (bytes.QuadPart <= 0)
        return ERROR_FILE_INVALID;
    handles_->mapping = CreateFileMappingA(handles_->file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    if (!handles_->mapping)
        return GetLastError();
    void* view = MapViewOfFile(handles_->mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (!view) {
        const std::uint32_t error = GetLastError();
        CloseHandle(handles_->mapping);
        handles_->mapping = nullptr;
        return error;
    }
    data_ = static_cast<std::uint8_t*>(view);
    size_ = static_cast<std::uint64_t>(bytes.QuadPart);
    return 0;
}

void MappedFile::Unmap()
{
    if (data_)
        UnmapViewOfFile(data_);
    if (handles_->mapping)
        CloseHandle(handles_->mapping);
    handles_->mapping = nullptr;
    data_ = nullptr;
    size_ = 0;
}

std::uint32_t MappedFile::WriteAt(std::uint64_t offset, const std::uint8_t* bytes, std::size_t count)
{
    // A file with a mapped view cannot be cut shorter, so the view stays
    // whole for as long as it is mapped.
    if (!data_ || offset > size_ || count > size_ - offset)
        return ERROR_INVALID_PARAMETER;
    std::memcpy(data_ + offset, bytes, count);
    return 0;
}

std::uint32_t MappedFile::Refresh()
{
    LARGE_INTEGER bytes;
    if (!GetFileSizeEx(handles_->file, &bytes))
        return GetLastError();
    if (data_ && static_cast<std::uint64_t>(bytes.QuadPart) == size_)
        return 0;
    Unmap();
    return Map();
}

} // namespace talvik
