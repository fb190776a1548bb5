// Test helpers: a temporary directory removed with everything in it, and
// small file readers.
#pragma once

#include <string>
#include <vector>

namespace vktest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string readFile(const std::string& path);
std::vector<std::string> readLines(const std::string& path);
// Paths of this process's open descriptors that lie under dir.
std::vector<std::string> openFilesUnder(const std::string& dir);
// Live (not zombie) processes whose first argument starts with prefix.
std::vector<int> processesStartingWith(const std::string& prefix);
void writeFile(const std::string& path, const std::string& content);

}  // namespace vktest
