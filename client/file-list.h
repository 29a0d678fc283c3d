// FileList: an in-memory tree of the files and directories below one directory, with the
// few attributes a rescan compares. The rescan fills one list from the disk and one from
// the event database and walks both backwards in the same order to find what differs.
// StringBuffer: the append-only pool in which all names of the lists of one comparison
// are stored once.
#pragma once

#include "ustring/ustring.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class StringBuffer
{
public:
    // A stored name: a pointer into a block, ordered by its bytes.
    struct String {
        const char *str = nullptr;
        String() = default;
        explicit String(const char *s) : str(s) {}
        bool operator<(const String &other) const { return strcmp(str, other.str) < 0; }
        bool operator==(const String &other) const { return strcmp(str, other.str) == 0; }
    };
    struct Chunk {
        size_t capacity = 0;
        size_t offset = 0;
        std::unique_ptr<char[]> data;
    };
    static constexpr int MAX_CHUNKS = 32;

    StringBuffer();
    StringBuffer(const StringBuffer &) = delete;
    StringBuffer &operator=(const StringBuffer &) = delete;

    // `out` becomes the stored copy of `text`, stored now if it was not yet. 0, or -1
    // when every block is full.
    int insert(const char *text, String &out);
    int chunksUsed() const { return used; }

private:
    char *allocate(size_t bytes);

    std::set<String> dic;
    Chunk chunk[MAX_CHUNKS];
    int used;
};

class FileList
{
public:
    struct Attribute {
        uint32_t mtime = 0;
        uint64_t size = 0;
        ustring acl_hash;

        void clear();
        bool operator==(const Attribute &other) const;
        bool operator!=(const Attribute &other) const { return !(*this == other); }
        ustring toString() const;
    };

    struct FileNode {
        StringBuffer::String name;
        Attribute attr;
        bool operator<(const FileNode &other) const { return name < other.name; }
    };

    struct DirNode {
        StringBuffer::String name;
        DirNode *parent = nullptr;
        std::map<StringBuffer::String, DirNode *> dir;
        std::set<FileNode> file;
        Attribute attr;
    };

    struct Entry {
        int flag = 0; // 1 directory, 0 file
        ustring path;
        Attribute attr;
        bool is_dir() const { return flag == 1; }
        bool is_file() const { return flag == 0; }
    };

    // Walks the entries backwards from the deepest, greatest name: names from greatest to
    // smallest, a directory's content before the directory. The top itself is never
    // yielded: an iterator that steps back onto it equals rend().
    class reverse_iterator
    {
    public:
        enum State { PRINT_ME = 0, PRINT_DIR = 1, PRINT_FILE = 2 };

        reverse_iterator &operator++();
        const Entry &operator*() const { return entry; }
        const Entry *operator->() const { return &entry; }
        // Compares the list, the current directory and the state only.
        bool operator==(const reverse_iterator &other) const;
        bool operator!=(const reverse_iterator &other) const { return !(*this == other); }

    private:
        friend class FileList;
        struct Frame {
            const DirNode *dir;
            std::set<FileNode>::const_reverse_iterator file_it;
            std::map<StringBuffer::String, DirNode *>::const_reverse_iterator dir_it;
            explicit Frame(const DirNode *d)
                : dir(d), file_it(d->file.rbegin()), dir_it(d->dir.rbegin())
            {
            }
        };

        reverse_iterator(const FileList *list, bool at_end);
        void get_last_of();
        void buildEntry(const FileNode *file);
        const DirNode *current() const;

        const FileList *list;
        std::vector<Frame> stack;
        State state;
        Entry entry;
    };

    explicit FileList(StringBuffer &buf);
    FileList(const FileList &) = delete;
    FileList &operator=(const FileList &) = delete;

    int AddFile(DirNode *parent, const ustring &name, const Attribute &attr);
    int AddFile(int dir_id, const ustring &name, const Attribute &attr);
    int AddFile(DirNode *parent, const ustring &name, uint32_t mtime, uint64_t size,
                const ustring &acl_hash);
    int AddFile(int dir_id, const ustring &name, uint32_t mtime, uint64_t size,
                const ustring &acl_hash);
    int AddDirectory(DirNode *parent, const ustring &name, const Attribute &attr);
    int AddDirectory(int dir_id, const ustring &name, const Attribute &attr);
    int AddDirectory(DirNode *parent, const ustring &name, uint32_t mtime, const ustring &acl_hash);
    int AddDirectory(int dir_id, const ustring &name, uint32_t mtime, const ustring &acl_hash);

    int AddFile(const ustring &pathname, const Attribute &attr);
    int AddFile(const ustring &pathname, uint32_t mtime, uint64_t size, const ustring &acl_hash);
    int AddDirectory(const ustring &pathname, const Attribute &attr);
    int AddDirectory(const ustring &pathname, uint32_t mtime, const ustring &acl_hash);

    DirNode *getRoot() { return &root; }
    // The directory with this id; throws std::out_of_range beyond the last one.
    DirNode *getDirectory(int dir_id) { return node.at(static_cast<size_t>(dir_id)); }

    reverse_iterator rbegin() const { return reverse_iterator(this, false); }
    reverse_iterator rend() const { return reverse_iterator(this, true); }

private:
    DirNode *walkTo(const char *part, size_t len, bool log_as_directory, int *created);
    DirNode *stepInto(DirNode *dir, const char *component, bool log_as_directory, int *created);

    StringBuffer &buf;
    DirNode root;
    std::vector<DirNode *> node;                 // index = directory id; 0 is the top
    std::vector<std::unique_ptr<DirNode>> owned; // every directory below the top
    DirNode *last_parent;                        // directory of the last AddFile by path
    std::string last_parent_path;
    bool debug_log; // thresholds are fixed once logging is set up
};
