#include "support/temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vktest {

TempDir::TempDir() {
    const char* base = ::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vktest.XXXXXX";
    if (!::mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed for " + pattern);
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> openFilesUnder(const std::string& dir) {
    std::vector<std::string> found;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ignored)) {
        const auto target = std::filesystem::read_symlink(entry.path(), ignored);
        if (!ignored && target.string().rfind(dir, 0) == 0) found.push_back(target.string());
    }
    return found;
}

std::vector<int> processesStartingWith(const std::string& prefix) {
    std::vector<int> found;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string argv0 = readFile(entry.path().string() + "/cmdline");
        if (argv0.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string stat = readFile(entry.path().string() + "/stat");
        const size_t close = stat.rfind(')');
        if (close != std::string::npos && stat.compare(close, 4, ") Z ") == 0) continue;
        found.push_back(std::stoi(name));
    }
    return found;
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace vktest
