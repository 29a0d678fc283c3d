// A scratch directory for a test, removed with everything in it when the test ends.
#pragma once

#include <string>

class TempDir
{
public:
    // Made under $TMPDIR, or /tmp when that is not set.
    TempDir();
    // Made under `parent`, for tests that need a directory on a given file system.
    explicit TempDir(const std::string &parent);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return m_path; }
    // path() + "/" + name
    std::string file(const std::string &name) const { return m_path + "/" + name; }
    // Writes `content` to file(name) and returns its path.
    std::string write(const std::string &name, const std::string &content) const;

private:
    std::string m_path;
};

// Whole content of a file, or "" when it cannot be read.
std::string readFile(const std::string &path);
bool fileExists(const std::string &path);
