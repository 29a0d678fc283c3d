#include "client/file-list.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace
{

std::vector<std::string> walk(const FileList &list)
{
    std::vector<std::string> out;
    for (FileList::reverse_iterator it = list.rbegin(); it != list.rend(); ++it)
        out.push_back(std::string(it->is_dir() ? "D " : "F ") + it->path.c_str_utf8());
    return out;
}

} // namespace

TEST(FileList, AddingByPathAndNameClashes)
{
    StringBuffer buf;
    FileList list(buf);
    FileList::Attribute attr;
    attr.mtime = 5;
    attr.size = 7;
    EXPECT_EQ(0, list.AddFile("a/b.txt", attr));
    EXPECT_EQ(ustring("a"), ustring(list.getDirectory(1)->name.str));
    EXPECT_EQ(-1, list.AddFile("a/b.txt", attr));
    EXPECT_EQ(-1, list.AddDirectory("a/b.txt", attr));
    EXPECT_EQ(-1, list.AddFile("a/b.txt/c", attr));
    EXPECT_EQ(-1, list.AddFile("a/", attr));
    EXPECT_EQ(-1, list.AddFile("a", attr)); // a directory of that name exists
    EXPECT_EQ(2, list.AddDirectory("/x//y", attr));
    EXPECT_EQ(0, list.AddDirectory("x/y", attr));
    EXPECT_EQ(-1, list.AddDirectory(1, "b.txt", attr));
    EXPECT_EQ(-1, list.AddFile(-1, "n", attr));
    EXPECT_EQ(-1, list.AddDirectory(-1, "n", attr));
    EXPECT_THROW(list.AddFile(99, "n", attr), std::out_of_range);
    int id = list.AddDirectory(0, "z", 9, "acl");
    EXPECT_EQ(4, id);
    EXPECT_EQ(0, list.AddFile(id, "f", 1, 2, ""));
    EXPECT_EQ(0u, list.getDirectory(2)->attr.size); // a directory's size is always 0
    EXPECT_EQ(-1, list.AddFile(std::string(5000, 'p').c_str(), attr));
}

TEST(FileList, ReverseWalkOrder)
{
    StringBuffer buf;
    FileList empty(buf);
    EXPECT_TRUE(empty.rbegin() == empty.rend());

    FileList list(buf);
    FileList::Attribute attr;
    list.AddDirectory("/a", attr);
    list.AddFile("/a/x", attr);
    list.AddFile("/b", attr);
    EXPECT_EQ((std::vector<std::string>{"F /b", "F /a/x", "D /a"}), walk(list));

    FileList prefix(buf);
    prefix.AddFile("/a.txt", attr);
    prefix.AddDirectory("/a", attr);
    prefix.AddFile("/a/z", attr);
    prefix.AddDirectory("/a/m/n", attr);
    prefix.AddFile("/B", attr);
    EXPECT_EQ(
        (std::vector<std::string>{"F /a.txt", "F /a/z", "D /a/m/n", "D /a/m", "D /a", "F /B"}),
        walk(prefix));
}

TEST(FileList, AttributesTravelWithTheEntries)
{
    StringBuffer buf;
    FileList list(buf);
    EXPECT_EQ(0, list.AddFile("/d/f", 11, 22, "h1"));
    EXPECT_EQ(0, list.AddDirectory("/d", 33, "h2"));
    FileList::reverse_iterator it = list.rbegin();
    EXPECT_TRUE(it->is_file());
    EXPECT_EQ(11u, it->attr.mtime);
    EXPECT_EQ(22u, it->attr.size);
    ++it;
    EXPECT_TRUE(it->is_dir());
    EXPECT_EQ(33u, it->attr.mtime);
    EXPECT_EQ(ustring("h2"), it->attr.acl_hash);
    ++it;
    EXPECT_TRUE(it == list.rend());
    FileList::Attribute a = it->attr, b = a;
    b.size = 1;
    EXPECT_TRUE(a != b);
}

TEST(StringBuffer, InternsOnceAndGrowsInBlocks)
{
    StringBuffer buf;
    FileList one(buf), two(buf);
    one.AddFile("/shared", 0, 0, "");
    two.AddFile("/shared", 0, 0, "");
    EXPECT_EQ(one.getRoot()->file.begin()->name.str, two.getRoot()->file.begin()->name.str);

    StringBuffer::String s;
    std::string big(3000, 'b');
    ASSERT_EQ(0, buf.insert(big.c_str(), s));
    EXPECT_EQ(big, s.str);
    EXPECT_EQ(2, buf.chunksUsed());
    std::vector<const char *> stored;
    for (int i = 0; i < 20000; ++i) {
        ASSERT_EQ(0, buf.insert(("name-" + std::to_string(i)).c_str(), s));
        stored.push_back(s.str);
    }
    int chunks = buf.chunksUsed();
    EXPECT_GT(chunks, 2);
    EXPECT_LT(chunks, 12); // geometric growth: few blocks for many names
    for (int i = 0; i < 20000; i += 997) {
        ASSERT_EQ(0, buf.insert(("name-" + std::to_string(i)).c_str(), s));
        EXPECT_EQ(stored[i], s.str);
    }
    EXPECT_EQ(chunks, buf.chunksUsed());
}
