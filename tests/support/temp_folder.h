// A fresh folder for one test, made the current directory while it lives.
#pragma once

#include <string>

namespace zem_test {

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string previous_;
};

// Writes bytes to a file (relative to the current directory, '/' paths).
void write_file(const std::string& path, const std::string& content);
// The file's bytes, or "<missing>" when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace zem_test
