// Cost of the file-system layer against the bare system calls, measured in the same run:
//  - FSStat with the exact-case check, and without it, against lstat;
//  - FSRemove of a directory tree against std::filesystem::remove_all;
//  - FSRename (which syncs the directory) against rename.
// Usage: bench_file_op [files (default 20000)] [rounds (default 5)]
#include "file-op.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::string> MakeTree(const std::string &root, int files)
{
    std::vector<std::string> paths;
    for (int i = 0; i < files; ++i) {
        std::string dir = root + "/d" + std::to_string(i % 100);
        if (i < 100)
            mkdir(dir.c_str(), 0755);
        std::string path = dir + "/File-" + std::to_string(i) + ".txt";
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0)
            close(fd);
        paths.push_back(path);
    }
    return paths;
}

template <typename F> double Best(int rounds, F &&body)
{
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
        Clock::time_point start = Clock::now();
        body();
        double s = SecondsSince(start);
        if (s < best)
            best = s;
    }
    return best;
}

void Report(const char *what, double ours, double reference, const char *ref_name, int n)
{
    printf("%-34s %9.3f us/op   %-22s %9.3f us/op   ratio %.2f\n", what, ours * 1e6 / n, ref_name,
           reference * 1e6 / n, ours / reference);
}

} // namespace

int main(int argc, char **argv)
{
    const int files = argc > 1 ? atoi(argv[1]) : 20000;
    const int rounds = argc > 2 ? atoi(argv[2]) : 5;
    const char *tmp = getenv("TMPDIR");
    std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench-file-op.XXXXXX";
    if (mkdtemp(root.data()) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    std::vector<std::string> paths =
        MakeTree(root + "/tree", (mkdir((root + "/tree").c_str(), 0755), files));
    std::vector<ustring> upaths(paths.begin(), paths.end());

    volatile uint64_t sink = 0;
    double t_lstat = Best(rounds, [&] {
        struct stat st;
        for (const std::string &p : paths)
            sink += lstat(p.c_str(), &st) == 0 ? st.st_size : 1;
    });
    double t_check = Best(rounds, [&] {
        FILE_INFO info;
        for (const ustring &p : upaths)
            sink += FSStat(p, info, true) == 0 ? info.size : 1;
    });
    double t_nocheck = Best(rounds, [&] {
        FILE_INFO info;
        for (const ustring &p : upaths)
            sink += FSStat(p, info, false) == 0 ? info.size : 1;
    });
    Report("FSStat (exact-case check)", t_check, t_lstat, "lstat", files);
    Report("FSStat (no case check)", t_nocheck, t_lstat, "lstat", files);

    const int renames = files / 10 > 0 ? files / 10 : 1;
    double t_rename = Best(1, [&] {
        for (int i = 0; i < renames; ++i)
            rename(paths[i].c_str(), (paths[i] + ".r").c_str());
    });
    double t_fsrename = Best(1, [&] {
        for (int i = 0; i < renames; ++i)
            FSRename(ustring(paths[i] + ".r"), upaths[i]);
    });
    Report("FSRename (directory synced)", t_fsrename, t_rename, "rename", renames);

    MakeTree(root + "/copy", (mkdir((root + "/copy").c_str(), 0755), files));
    double t_remove_all = Best(1, [&] { std::filesystem::remove_all(root + "/copy"); });
    double t_fsremove = Best(1, [&] { FSRemove(ustring(root + "/tree"), false); });
    Report("FSRemove of a tree", t_fsremove, t_remove_all, "filesystem::remove_all", files);

    std::filesystem::remove_all(root);
    return sink == 42 ? 2 : 0;
}
