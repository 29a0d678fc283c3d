#include "support/temp-dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

namespace
{

std::string DefaultParent()
{
    const char *base = std::getenv("TMPDIR");
    return base && *base ? base : "/tmp";
}

} // namespace

TempDir::TempDir() : TempDir(DefaultParent()) {}

TempDir::TempDir(const std::string &parent)
{
    std::string pattern = parent + "/aerolith-test.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Tests may leave read-only directories behind; make them writable before removal.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            chmod(it->path().c_str(), 0700);
        }
    }
    chmod(m_path.c_str(), 0700);
    std::filesystem::remove_all(m_path, ec);
}

std::string TempDir::write(const std::string &name, const std::string &content) const
{
    std::string path = file(name);
    std::ofstream out(path, std::ios::binary);
    out << content;
    return path;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool fileExists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
