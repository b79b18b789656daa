// A fresh, empty directory for one test, removed with everything in it when
// the object goes away. path() ends without a separator.
#pragma once

#include <string>

namespace talvik::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + separator + name
    std::string File(const std::string& name) const;

private:
    std::string path_;
};

// Whole content of a file, or empty when it cannot be read.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

} // namespace talvik::test
