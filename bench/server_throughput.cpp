// aerolith-server throughput, each figure against a reference measured in the same run:
//   1. a whole upload and a whole download of one big file (default 1 GiB) through the
//      server, against a plain loopback read/write loop that writes and fsyncs the same
//      bytes;
//   2. a delta upload of that file with 100 scattered edits (time and bytes sent);
//   3. pull_event of 100 000 journal entries in pages of 1 000;
//   4. small requests as two daemons' workers send them while syncing many small files:
//      several connections at once, each getting a token, uploading a 4 KiB file and
//      downloading it with a token; the mean time of each action against the time of one
//      fsync of 4 KiB on the same file system.
// Usage: bench_server_throughput [--size-mib N] [--entries N] [--small-files N]
//                                [--clients N] [--dir DIR]
// A count of 0 skips its part (--size-mib 0 skips 1 and 2).
#include "channel.h"
#include "proto-common.h"
#include "protocol/stream.h"
#include "rsapi-cpp/api.h"
#include "server/store.h"
#include "server/tree.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string ServerBinary()
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string exe = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
    return exe.substr(0, exe.rfind('/')) + "/../server/aerolith-server";
}

// Runs the server binary with args; stdout captured (until a line when wait_line).
pid_t Spawn(const std::vector<std::string> &args, std::string &out, bool wait_line)
{
    int p[2];
    if (pipe(p) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(p[0]);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(p[1]);
    char buf[512];
    ssize_t got;
    while ((got = read(p[0], buf, sizeof(buf))) > 0) {
        out.append(buf, static_cast<size_t>(got));
        if (wait_line && out.find('\n') != std::string::npos)
            break;
    }
    close(p[0]);
    return pid;
}

std::string Admin(const std::string &root, const std::vector<std::string> &args)
{
    std::vector<std::string> all = {ServerBinary(), "admin", "--root", root};
    all.insert(all.end(), args.begin(), args.end());
    std::string out;
    pid_t pid = Spawn(all, out, false);
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

// The value of "key": "..." or "key": N in a one-line JSON object.
std::string JsonField(const std::string &json, const std::string &key)
{
    size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos)
        return std::string();
    at += key.size() + 3;
    if (json[at] == '"')
        return json.substr(at + 1, json.find('"', at + 1) - at - 1);
    return json.substr(at, json.find_first_of(",}", at) - at);
}

void WriteRandomFile(const std::string &path, uint64_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    std::vector<uint32_t> buf(1 << 18);
    uint32_t x = 12345;
    for (uint64_t done = 0; done < size;) {
        for (uint32_t &w : buf) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            w = x;
        }
        size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, buf.size() * 4));
        fwrite(buf.data(), 1, n, f);
        done += n;
    }
    fclose(f);
}

std::string Md4(const std::string &path)
{
    ustring hash;
    SimpleFileReader r;
    r.setFile(ustring(path));
    r.setHashString(&hash);
    r.readFile();
    return hash.c_str_utf8();
}

// CPU seconds (user + system) a process has used so far.
double CpuSeconds(pid_t pid)
{
    FILE *f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (f == nullptr)
        return 0;
    char buf[2048];
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    buf[n] = '\0';
    // Fields after the command name (which may hold blanks): utime is the 12th, stime the 13th.
    const char *p = strrchr(buf, ')');
    unsigned long long utime = 0, stime = 0;
    if (p == nullptr ||
        sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return 0;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

uint64_t FileSize(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// The plain reference: file → loopback socket → file, fsync included.
double PlainLoop(const std::string &from, const std::string &to)
{
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(lfd, reinterpret_cast<struct sockaddr *>(&a), sizeof(a));
    listen(lfd, 1);
    socklen_t len = sizeof(a);
    getsockname(lfd, reinterpret_cast<struct sockaddr *>(&a), &len);
    auto start = Clock::now();
    std::thread receiver([&] {
        int s = accept(lfd, nullptr, nullptr);
        int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char> buf(81920);
        ssize_t n;
        while ((n = read(s, buf.data(), buf.size())) > 0)
            if (write(out, buf.data(), static_cast<size_t>(n)) != n)
                break;
        fsync(out);
        close(out);
        close(s);
    });
    int c = socket(AF_INET, SOCK_STREAM, 0);
    connect(c, reinterpret_cast<struct sockaddr *>(&a), sizeof(a));
    int in = open(from.c_str(), O_RDONLY);
    std::vector<char> buf(81920);
    ssize_t n;
    while ((n = read(in, buf.data(), buf.size())) > 0)
        if (write(c, buf.data(), static_cast<size_t>(n)) != n)
            break;
    close(in);
    close(c);
    receiver.join();
    close(lfd);
    return Seconds(start);
}

std::string BinaryPathOf(const PObject &item)
{
    return item.isBinary() ? std::string(item.asBinary().path.c_str_utf8()) : std::string();
}

struct Client {
    Channel ch;
    PStream stream;
    std::string token;
    ProtoExchangeHooks hooks;

    int request(uint8_t cmd, const char *action, PObject req, PObject &ans)
    {
        req["session"] = token;
        req["view_id"] = 1u;
        InitRequest(req, action);
        ProtoExchangeOptions opt;
        ans.clear();
        return ProtoRunExchange(ch, stream, cmd, req, ans, opt, hooks);
    }
};

// get_token, dry run, resume_upload: the daemon's resumable upload.
bool Upload(Client &c, const std::string &path, const std::string &data_file, bool delta,
            uint64_t size, const std::string &hash, uint64_t sync_id)
{
    PObject ans;
    if (c.request(27, "resume_get_token", PObject(), ans) < 0)
        return false;
    PObject up;
    up["path"] = path;
    up["sync_id"] = sync_id;
    up["is_dir"] = false;
    up["file"]["size"] = size;
    up["file"]["hash"] = hash;
    up["file"]["refer"] = false;
    up["file"]["is_delta"] = delta;
    up["mtime"]["refer"] = false;
    up["mtime"]["mtime"] = 1700000000u;
    up["_resume_token"] = ans["resume_token"];
    PObject dry = up;
    dry["dry_run"] = true;
    if (c.request(23, "upload", dry, ans) < 0 || ans.hasMember("error"))
        return false;
    PObject::binary_type bin;
    bin.path = data_file;
    bin.length = FileSize(data_file);
    up["file"]["data"] = bin;
    if (c.request(27, "resume_upload", up, ans) < 0 || ans.hasMember("error")) {
        fprintf(stderr, "upload failed: %s\n", ans.toString().c_str_utf8());
        return false;
    }
    return true;
}

// Median time of writing 4 KiB to a file in dir and fsyncing it.
double FsyncSeconds(const std::string &dir)
{
    std::string path = dir + "/fsync.probe";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<double> times;
    char block[4096] = {};
    for (int i = 0; i < 21 && fd >= 0; ++i) {
        auto t = Clock::now();
        if (pwrite(fd, block, sizeof(block), 0) != static_cast<ssize_t>(sizeof(block)))
            break;
        fsync(fd);
        times.push_back(Seconds(t));
    }
    if (fd >= 0)
        close(fd);
    unlink(path.c_str());
    if (times.empty())
        return 0;
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

struct ActionTimes {
    std::atomic<uint64_t> ns[3] = {{0}, {0}, {0}};
    std::atomic<uint64_t> count[3] = {{0}, {0}, {0}};
    void add(int i, Clock::time_point since)
    {
        ns[i] += static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - since).count());
        ++count[i];
    }
    double meanMs(int i) const { return count[i] ? ns[i] / 1e6 / count[i] : 0; }
};

// One worker connection: for each file a token, an upload of 4 KiB (command 23, as the
// daemon sends small files) and a token download of it. false when a request failed.
bool SmallFiles(int port, const std::string &token, const std::string &dir, int client,
                uint64_t files, ActionTimes &times)
{
    Client c;
    c.token = token;
    c.stream.SetDefaultRecvLocation(ustring(dir));
    PObject ans;
    if (c.ch.Open("127.0.0.1", port) != 0 || c.request(14, "connect", PObject(), ans) < 0)
        return false;
    std::string data = dir + "/small." + std::to_string(client);
    std::vector<char> bytes(4096, static_cast<char>('a' + client));
    for (uint64_t i = 0; i < files; ++i) {
        // Each file has its own content, as in a real sync.
        snprintf(bytes.data(), bytes.size(), "%d/%llu", client, static_cast<unsigned long long>(i));
        FILE *f = fopen(data.c_str(), "wb");
        if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
            if (f)
                fclose(f);
            return false;
        }
        fclose(f);
        std::string path = "/small/c" + std::to_string(client) + "/f" + std::to_string(i);
        auto t = Clock::now();
        PObject tok;
        if (c.request(27, "resume_get_token", PObject(), tok) < 0 || tok.hasMember("error"))
            return false;
        times.add(0, t);
        PObject up;
        up["path"] = path;
        up["sync_id"] = 0u;
        up["is_dir"] = false;
        up["file"]["size"] = static_cast<uint64_t>(bytes.size());
        up["file"]["hash"] = Md4(data);
        up["file"]["refer"] = false;
        up["file"]["is_delta"] = false;
        up["mtime"]["refer"] = false;
        up["mtime"]["mtime"] = 1700000000u;
        PObject::binary_type bin;
        bin.path = data;
        bin.length = bytes.size();
        up["file"]["data"] = bin;
        t = Clock::now();
        if (c.request(23, "upload", up, ans) < 0 || ans.hasMember("error"))
            return false;
        times.add(1, t);
        PObject down;
        down["path"] = path;
        down["sync_id"] = 0u;
        down["file"]["offset"] = 0u;
        down["_resume_token"] = tok["resume_token"];
        t = Clock::now();
        if (c.request(27, "resume_download", down, ans) < 0 || ans.hasMember("error"))
            return false;
        times.add(2, t);
        std::string got = BinaryPathOf(ans["file"]["data"]);
        if (!got.empty())
            unlink(got.c_str());
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    uint64_t size_mib = 1024, entries = 100000, small_files = 1000, clients = 6;
    std::string base = "/tmp";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--size-mib"))
            size_mib = strtoull(argv[i + 1], nullptr, 10);
        else if (!strcmp(argv[i], "--entries"))
            entries = strtoull(argv[i + 1], nullptr, 10);
        else if (!strcmp(argv[i], "--small-files"))
            small_files = strtoull(argv[i + 1], nullptr, 10);
        else if (!strcmp(argv[i], "--clients"))
            clients = std::max<uint64_t>(1, strtoull(argv[i + 1], nullptr, 10));
        else if (!strcmp(argv[i], "--dir"))
            base = argv[i + 1];
    }
    std::string dir = base + "/aerolith-bench-server.XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr)
        return 1;
    std::string root = dir + "/root", big = dir + "/big.bin", copy = dir + "/copy.bin";
    uint64_t size = size_mib << 20;
    printf("server throughput, file of %llu MiB, %llu journal entries, under %s\n",
           static_cast<unsigned long long>(size_mib), static_cast<unsigned long long>(entries),
           dir.c_str());
    std::string hash;
    if (size > 0) {
        WriteRandomFile(big, size);
        hash = Md4(big);
    }

    // 100 000 entries of a second view, written straight into the journal.
    Admin(root, {"add-view", "docs"});
    Admin(root, {"add-view", "journal"});
    std::string token = JsonField(Admin(root, {"add-user", "bench"}), "token");
    Admin(root, {"grant", "1", "bench", "rw"});
    Admin(root, {"grant", "2", "bench", "rw"});
    {
        srv::Store store;
        store.open(root);
        srv::SqlWriteTxn txn(store.db());
        srv::Tree tree(store);
        srv::Entry made;
        for (uint64_t i = 0; i < entries; ++i)
            if (i % 1000 == 0)
                tree.makeDir(2, "/d" + std::to_string(i / 1000), 1700000000u, "bench", made);
            else
                tree.putFile(2, "/d" + std::to_string(i / 1000) + "/f" + std::to_string(i),
                             store.addContent("00000000000000000000000000000000",
                                              "0" + std::to_string(i % 7), 7),
                             1700000000u, "bench", made);
        txn.commit();
    }

    std::string line;
    pid_t server = Spawn({ServerBinary(), "--root", root}, line, true);
    int port = atoi(line.c_str() + line.rfind(':') + 1);
    Client c;
    c.token = token;
    c.stream.SetDefaultRecvLocation(ustring(dir));
    PObject ans;
    if (c.ch.Open("127.0.0.1", port) != 0 || c.request(14, "connect", PObject(), ans) < 0) {
        fprintf(stderr, "cannot reach the server\n");
        return 1;
    }

    bool ok = true;
    if (size > 0) {
        // The plain loop runs before and after the upload and its mean is the reference:
        // on a shared machine one run alone swings by a third. CPU seconds are counted
        // for both sides (this process and the server), so that a figure taken under load,
        // where time follows CPU, can be read beside the work each side did.
        double plain_cpu = CpuSeconds(getpid());
        double plain_before = PlainLoop(big, copy);
        plain_cpu = CpuSeconds(getpid()) - plain_cpu;
        unlink(copy.c_str());
        auto t = Clock::now();
        double up_cpu = CpuSeconds(server), up_client_cpu = CpuSeconds(getpid());
        ok = Upload(c, "/big.bin", big, false, size, hash, 0);
        double up = Seconds(t);
        up_cpu = CpuSeconds(server) - up_cpu;
        up_client_cpu = CpuSeconds(getpid()) - up_client_cpu;
        double plain_after = PlainLoop(big, copy);
        unlink(copy.c_str());
        double plain = (plain_before + plain_after) / 2;
        uint64_t sync_id = 0;
        {
            PObject pull;
            pull["path"] = "/";
            pull["sync_id"] = 0u;
            pull["recursive"] = true;
            c.request(6, "pull_event", pull, ans);
            sync_id = ans["next_sync_id"].asUInt64();
        }
        t = Clock::now();
        PObject tok;
        c.request(27, "resume_get_token", PObject(), tok);
        PObject down;
        down["path"] = "/big.bin";
        down["sync_id"] = 0u;
        down["file"]["offset"] = 0u;
        down["_resume_token"] = tok["resume_token"];
        ok = ok && c.request(27, "resume_download", down, ans) == 0 && !ans.hasMember("error");
        std::string got = ans["file"]["data"].asBinary().path.c_str_utf8();
        int fd = open(got.c_str(), O_RDONLY);
        fsync(fd);
        close(fd);
        double dl = Seconds(t);
        ok = ok && FileSize(got) == size;
        unlink(got.c_str());
        printf("plain loop:     %.2f s before and %.2f s after the upload, mean %.2f s "
               "(%.0f MiB/s); CPU %.2f s\n",
               plain_before, plain_after, plain, size_mib / plain, plain_cpu);
        printf("whole upload:   %.2f s, %.0f MiB/s = %.0f%% of the plain loop; CPU %.2f s "
               "(server %.2f s, client %.2f s)\n",
               up, size_mib / up, 100 * plain / up, up_cpu + up_client_cpu, up_cpu,
               up_client_cpu);
        printf("whole download: %.2f s, %.0f MiB/s = %.0f%% of the plain loop\n", dl, size_mib / dl,
               100 * plain / dl);

        // 100 scattered edits of 16 bytes, then the daemon's delta against the old signature.
        std::string sig = dir + "/big.sig", delta = dir + "/big.delta";
        {
            SimpleFileReader s;
            s.setFile(ustring(big));
            s.setSignature(ustring(sig), 2048, 8);
            s.readFile();
            int f = open(big.c_str(), O_WRONLY);
            for (int i = 0; i < 100; ++i) {
                char edit[16];
                memset(edit, 'A' + i % 26, sizeof(edit));
                pwrite(f, edit, sizeof(edit), static_cast<off_t>(size / 100 * i + 777));
            }
            close(f);
        }
        t = Clock::now();
        std::string hash2;
        {
            ustring h;
            SimpleFileReader d;
            d.setFile(ustring(big));
            d.setDelta(ustring(delta), ustring(sig));
            d.setHashString(&h);
            d.readFile();
            hash2 = h.c_str_utf8();
        }
        double make = Seconds(t);
        t = Clock::now();
        ok = ok && Upload(c, "/big.bin", delta, true, size, hash2, sync_id);
        double send = Seconds(t);
        printf(
            "delta upload, 100 edits: %llu bytes sent (%.4f%% of the file); delta made in %.2f s, "
            "sent and applied in %.2f s (%.0f%% of the plain loop's time for the whole file)\n",
            static_cast<unsigned long long>(FileSize(delta)), 100.0 * FileSize(delta) / size, make,
            send, 100 * send / plain);
    }

    if (entries > 0) {
        auto t = Clock::now();
        double server_cpu = CpuSeconds(server), client_cpu = CpuSeconds(getpid());
        uint64_t pos = 0, pulled = 0, pages = 0;
        for (;;) {
            PObject pull;
            pull["path"] = "/";
            pull["sync_id"] = pos;
            pull["recursive"] = true;
            pull["view_id"] = 2u;
            pull["session"] = token;
            InitRequest(pull, "pull_event");
            ProtoExchangeOptions opt;
            ans.clear();
            if (ProtoRunExchange(c.ch, c.stream, 6, pull, ans, opt, c.hooks) < 0)
                break;
            uint64_t next = ans["next_sync_id"].asUInt64();
            if (next == pos)
                break;
            pulled += ans["event_list"].asArray().size();
            ++pages;
            pos = next;
        }
        double pull_s = Seconds(t);
        server_cpu = CpuSeconds(server) - server_cpu;
        client_cpu = CpuSeconds(getpid()) - client_cpu;
        printf(
            "pull_event: %llu entries in %llu pages in %.2f s (goal: under 2 s for 100 000); CPU "
            "used meanwhile: server %.2f s, client %.2f s\n",
            static_cast<unsigned long long>(pulled), static_cast<unsigned long long>(pages), pull_s,
            server_cpu, client_cpu);
        ok = ok && pulled == entries;
    }

    if (small_files > 0) {
        double fsync_s = FsyncSeconds(dir);
        ActionTimes times;
        std::atomic<int> failed{0};
        std::vector<std::thread> workers;
        auto t = Clock::now();
        double cpu = CpuSeconds(server);
        for (uint64_t k = 0; k < clients; ++k)
            workers.emplace_back([&, k] {
                uint64_t mine = small_files / clients + (k < small_files % clients ? 1 : 0);
                if (!SmallFiles(port, token, dir, static_cast<int>(k), mine, times))
                    ++failed;
            });
        for (std::thread &w : workers)
            w.join();
        double all = Seconds(t);
        cpu = CpuSeconds(server) - cpu;
        printf("small files: %llu files of 4 KiB over %llu connections in %.2f s; an fsync of "
               "4 KiB takes %.2f ms here; server CPU %.2f ms per file\n",
               static_cast<unsigned long long>(small_files),
               static_cast<unsigned long long>(clients), all, fsync_s * 1e3,
               cpu * 1e3 / small_files);
        const char *names[3] = {"resume_get_token", "upload", "resume_download"};
        for (int i = 0; i < 3; ++i)
            printf("  %-16s %6llu requests, %7.2f ms each = %5.1f fsyncs\n", names[i],
                   static_cast<unsigned long long>(times.count[i].load()), times.meanMs(i),
                   fsync_s > 0 ? times.meanMs(i) / (fsync_s * 1e3) : 0.0);
        ok = ok && failed == 0;
    }

    c.ch.Close();
    kill(server, SIGTERM);
    int status = 0;
    waitpid(server, &status, 0);
    std::string cleanup = "rm -rf '" + dir + "'";
    if (system(cleanup.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", dir.c_str());
    if (!ok)
        fprintf(stderr, "a transfer failed\n");
    return ok ? 0 : 1;
}
