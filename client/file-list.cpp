#include "client/file-list.h"

#include "log.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>

namespace
{

const ustring COMPONENT("flist_debug");
const size_t FIRST_CHUNK = 512;
const size_t PATH_BUFFER = 4096;
const size_t MAX_COMPONENT = 1023;

} // namespace

StringBuffer::StringBuffer() : used(1)
{
    chunk[0].capacity = FIRST_CHUNK;
    chunk[0].data.reset(new char[FIRST_CHUNK]);
}

char *StringBuffer::allocate(size_t bytes)
{
    for (int i = 0; i < used; ++i) {
        Chunk &c = chunk[i];
        if (c.capacity - c.offset >= bytes) {
            char *out = c.data.get() + c.offset;
            c.offset += bytes;
            return out;
        }
    }
    if (used == MAX_CHUNKS)
        return nullptr;
    Chunk &c = chunk[used];
    c.capacity = std::max(chunk[used - 1].capacity * 2, (bytes - 1) * 2);
    c.capacity = std::max(c.capacity, bytes);
    c.data.reset(new char[c.capacity]);
    ++used;
    c.offset = bytes;
    return c.data.get();
}

int StringBuffer::insert(const char *text, String &out)
{
    auto found = dic.find(String(text));
    if (found != dic.end()) {
        out = *found;
        return 0;
    }
    size_t bytes = strlen(text) + 1;
    char *copy = allocate(bytes);
    if (!copy)
        return -1;
    memcpy(copy, text, bytes);
    out = String(copy);
    dic.insert(out);
    return 0;
}

void FileList::Attribute::clear()
{
    mtime = 0;
    size = 0;
    acl_hash.clear();
}

bool FileList::Attribute::operator==(const Attribute &other) const
{
    return mtime == other.mtime && size == other.size && acl_hash == other.acl_hash;
}

ustring FileList::Attribute::toString() const
{
    char text[96];
    snprintf(text, sizeof(text), "mtime = %u, size = %" PRIu64 ", acl_hash = ", mtime, size);
    return ustring(text) + acl_hash;
}

FileList::FileList(StringBuffer &buffer)
    : buf(buffer), last_parent(nullptr), debug_log(Logger::IsEnabled(Logger::L_DEBUG, COMPONENT))
{
    buf.insert("/", root.name);
    node.push_back(&root);
}

int FileList::AddFile(DirNode *parent, const ustring &name, const Attribute &attr)
{
    FileNode file;
    if (!parent || name.empty() || buf.insert(name.c_str_utf8(), file.name) != 0)
        return -1;
    if (parent->dir.count(file.name))
        return -1;
    file.attr = attr;
    return parent->file.insert(file).second ? 0 : -1;
}

int FileList::AddFile(int dir_id, const ustring &name, const Attribute &attr)
{
    if (dir_id < 0)
        return -1;
    return AddFile(getDirectory(dir_id), name, attr);
}

int FileList::AddFile(DirNode *parent, const ustring &name, uint32_t mtime, uint64_t size,
                      const ustring &acl_hash)
{
    Attribute attr;
    attr.mtime = mtime;
    attr.size = size;
    attr.acl_hash = acl_hash;
    return AddFile(parent, name, attr);
}

int FileList::AddFile(int dir_id, const ustring &name, uint32_t mtime, uint64_t size,
                      const ustring &acl_hash)
{
    if (dir_id < 0)
        return -1;
    return AddFile(getDirectory(dir_id), name, mtime, size, acl_hash);
}

int FileList::AddDirectory(DirNode *parent, const ustring &name, const Attribute &attr)
{
    StringBuffer::String interned;
    if (!parent || name.empty() || buf.insert(name.c_str_utf8(), interned) != 0)
        return -1;
    FileNode probe;
    probe.name = interned;
    if (parent->file.count(probe) || parent->dir.count(interned))
        return -1;
    std::unique_ptr<DirNode> child(new DirNode);
    child->name = interned;
    child->parent = parent;
    child->attr = attr;
    child->attr.size = 0;
    parent->dir[interned] = child.get();
    node.push_back(child.get());
    owned.push_back(std::move(child));
    return static_cast<int>(node.size() - 1);
}

int FileList::AddDirectory(int dir_id, const ustring &name, const Attribute &attr)
{
    if (dir_id < 0)
        return -1;
    return AddDirectory(getDirectory(dir_id), name, attr);
}

int FileList::AddDirectory(DirNode *parent, const ustring &name, uint32_t mtime,
                           const ustring &acl_hash)
{
    Attribute attr;
    attr.mtime = mtime;
    attr.acl_hash = acl_hash;
    return AddDirectory(parent, name, attr);
}

int FileList::AddDirectory(int dir_id, const ustring &name, uint32_t mtime, const ustring &acl_hash)
{
    if (dir_id < 0)
        return -1;
    return AddDirectory(getDirectory(dir_id), name, mtime, acl_hash);
}

// Steps from `dir` into its subdirectory `component`, creating it when missing. Fails
// when the name is taken by a file or cannot be interned.
FileList::DirNode *FileList::stepInto(DirNode *dir, const char *component, bool log_as_directory,
                                      int *created)
{
    FileNode probe;
    if (buf.insert(component, probe.name) != 0 || dir->file.count(probe))
        return nullptr;
    if (debug_log && log_as_directory) {
        Logger::LogMsg(Logger::L_DEBUG, COMPONENT, "[DEBUG] flist.cpp(%d): adding directory '%s'\n",
                       __LINE__, component);
    } else if (debug_log) {
        Logger::LogMsg(Logger::L_DEBUG, COMPONENT, "[DEBUG] flist.cpp(%d): searching parent '%s'\n",
                       __LINE__, component);
    }
    auto found = dir->dir.find(probe.name);
    if (found != dir->dir.end())
        return found->second;
    int id = AddDirectory(dir, ustring(component), Attribute());
    if (id < 0)
        return nullptr;
    if (created)
        ++*created;
    return node[static_cast<size_t>(id)];
}

// Walks every '/'-separated component of the first `len` bytes of `part` from the top;
// empty components are skipped and a component longer than 1023 bytes is taken in
// pieces of 1023.
FileList::DirNode *FileList::walkTo(const char *part, size_t len, bool log_as_directory,
                                    int *created)
{
    DirNode *dir = &root;
    const char *p = part;
    const char *stop = part + len;
    char component[MAX_COMPONENT + 1];
    while (p < stop && dir) {
        if (*p == '/') {
            ++p;
            continue;
        }
        const char *end = static_cast<const char *>(memchr(p, '/', static_cast<size_t>(stop - p)));
        if (!end)
            end = stop;
        while (p < end && dir) {
            size_t piece = std::min(static_cast<size_t>(end - p), MAX_COMPONENT);
            memcpy(component, p, piece);
            component[piece] = '\0';
            dir = stepInto(dir, component, log_as_directory, created);
            p += piece;
        }
    }
    return dir;
}

// Adds a file by path. Listings add many files of one directory in a row, so the
// directory of the previous call is remembered (directories are never removed).
int FileList::AddFile(const ustring &pathname, const Attribute &attr)
{
    // Longer paths are refused rather than cut short into another path.
    size_t len = pathname.size();
    const char *path = pathname.c_str_utf8();
    if (len == 0 || len >= PATH_BUFFER || path[len - 1] == '/')
        return -1;
    const char *slash = static_cast<const char *>(memrchr(path, '/', len));
    size_t parent_len = slash ? static_cast<size_t>(slash - path) : 0;
    const char *name = slash ? slash + 1 : path;
    DirNode *dir;
    if (last_parent && last_parent_path.compare(0, std::string::npos, path, parent_len) == 0) {
        dir = last_parent;
    } else {
        dir = walkTo(path, parent_len, false, nullptr);
        if (!dir)
            return -1;
        last_parent = dir;
        last_parent_path.assign(path, parent_len);
    }
    if (debug_log) {
        Logger::LogMsg(Logger::L_DEBUG, COMPONENT, "[DEBUG] flist.cpp(%d): adding file '%s'\n",
                       __LINE__, name);
    }
    return AddFile(dir, ustring(name), attr);
}

int FileList::AddFile(const ustring &pathname, uint32_t mtime, uint64_t size,
                      const ustring &acl_hash)
{
    Attribute attr;
    attr.mtime = mtime;
    attr.size = size;
    attr.acl_hash = acl_hash;
    return AddFile(pathname, attr);
}

int FileList::AddDirectory(const ustring &pathname, const Attribute &attr)
{
    if (pathname.size() >= PATH_BUFFER)
        return -1;
    int created = 0;
    DirNode *dir = walkTo(pathname.c_str_utf8(), pathname.size(), true, &created);
    if (!dir)
        return -1;
    dir->attr = attr;
    dir->attr.size = 0;
    return created;
}

int FileList::AddDirectory(const ustring &pathname, uint32_t mtime, const ustring &acl_hash)
{
    Attribute attr;
    attr.mtime = mtime;
    attr.acl_hash = acl_hash;
    return AddDirectory(pathname, attr);
}

FileList::reverse_iterator::reverse_iterator(const FileList *owner, bool at_end)
    : list(owner), state(PRINT_ME)
{
    if (at_end)
        return;
    stack.emplace_back(&owner->root);
    get_last_of();
}

const FileList::DirNode *FileList::reverse_iterator::current() const
{
    return stack.empty() ? &list->root : stack.back().dir;
}

bool FileList::reverse_iterator::operator==(const reverse_iterator &other) const
{
    return list == other.list && current() == other.current() && state == other.state;
}

// Moves to the next entry backwards: goes down while the greatest remaining child of the
// current directory is a subdirectory, then yields the greatest remaining file there, or
// the directory itself once all its children are done.
void FileList::reverse_iterator::get_last_of()
{
    for (;;) {
        Frame &f = stack.back();
        bool has_file = f.file_it != f.dir->file.rend();
        bool has_dir = f.dir_it != f.dir->dir.rend();
        if (has_dir && (!has_file || f.file_it->name < f.dir_it->first)) {
            const DirNode *child = f.dir_it->second;
            ++f.dir_it;
            stack.emplace_back(child);
            continue;
        }
        if (has_file) {
            state = PRINT_FILE;
            buildEntry(&*f.file_it);
            ++f.file_it;
            return;
        }
        state = PRINT_ME;
        if (stack.size() > 1)
            buildEntry(nullptr);
        return;
    }
}

void FileList::reverse_iterator::buildEntry(const FileNode *file)
{
    entry.path.clear();
    for (size_t i = 1; i < stack.size(); ++i) {
        entry.path += '/';
        entry.path += stack[i].dir->name.str;
    }
    if (file) {
        entry.path += '/';
        entry.path += file->name.str;
        entry.flag = 0;
        entry.attr = file->attr;
    } else {
        entry.flag = 1;
        entry.attr = stack.back().dir->attr;
    }
}

FileList::reverse_iterator &FileList::reverse_iterator::operator++()
{
    if (stack.empty())
        return *this;
    if (state == PRINT_ME) {
        // The top directory is where the walk ends; it is never yielded.
        if (stack.size() == 1)
            return *this;
        stack.pop_back();
    }
    get_last_of();
    return *this;
}
