// Builds file lists from arbitrary paths (names come from the local disk and from the
// event database) and walks them backwards: the walk must yield every entry once, in
// exactly the reverse of the pre-order by name.
#include "client/file-list.h"
#include "fuzz/fuzz-support.h"

#include <cstdint>
#include <map>
#include <vector>
#include <string>

namespace
{

// Pre-order with the children of each directory (files and subdirectories together) in
// ascending byte order: the walk must yield exactly this sequence backwards.
void preOrder(const FileList::DirNode *dir, const std::string &prefix,
              std::vector<std::string> &out)
{
    std::map<std::string, const FileList::DirNode *> children;
    for (const FileList::FileNode &f : dir->file)
        children[f.name.str] = nullptr;
    for (const auto &d : dir->dir)
        children[d.first.str] = d.second;
    for (const auto &child : children) {
        std::string path = prefix + "/" + child.first;
        out.push_back((child.second ? "D" : "F") + path);
        if (child.second)
            preOrder(child.second, path, out);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Silences the list's own log lines so the fuzzer spends its time in the list.
    FuzzQuietLogs(FuzzScratchFile("file-list", "logs"), "flist_debug = 0\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    StringBuffer buf;
    FileList list(buf);
    size_t pos = 0;
    while (pos < size) {
        uint8_t op = data[pos++];
        size_t len = op % 32;
        std::string path;
        for (size_t i = 0; i < len && pos < size; ++i) {
            uint8_t c = data[pos++];
            path += c < 80 ? '/' : c < 120 ? char('a' + c % 3) : char(c ? c : 1);
        }
        if (op & 0x80)
            list.AddDirectory(ustring(path.c_str()), static_cast<uint32_t>(op), ustring());
        else
            list.AddFile(ustring(path.c_str()), static_cast<uint32_t>(op), len, ustring());
    }
    std::vector<std::string> expected;
    preOrder(list.getRoot(), "", expected);
    std::vector<std::string> walked;
    for (FileList::reverse_iterator it = list.rbegin(); it != list.rend(); ++it) {
        walked.push_back((it->is_dir() ? "D" : "F") + std::string(it->path.c_str_utf8()));
        if (walked.size() > expected.size())
            __builtin_trap();
    }
    if (std::vector<std::string>(expected.rbegin(), expected.rend()) != walked)
        __builtin_trap();
    return 0;
}
