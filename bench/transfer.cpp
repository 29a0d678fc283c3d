// Transfers against the stand-in server on loopback, each figure beside a reference measured
// in the same run:
//   - a large file uploaded whole and downloaded whole, as a share of a plain loopback
//     copy of the same bytes (one TCP connection, file to file);
//   - the same file with 100 scattered small edits, downloaded as a patch and uploaded as a
//     delta: bytes on the wire and time, against `rdiff signature/delta/patch` plus a
//     loopback copy of the rdiff delta;
//   - many small files uploaded and downloaded: files per second.
// Every timed step (ours and the references) starts with the page cache written back: the
// gigabytes the steps before it left dirty would otherwise be written while it runs, and
// the kernel would hold up its writes for them, whichever step comes first paying for the
// others.
// Usage: bench_transfer [SIZE_MIB (default 1024)] [FILES (default 10000)]
#include "support/transfer-session.h"

#include "error-code.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace
{

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Writes `mib` MiB of pseudo-random bytes without holding them in memory.
void WriteRandomFile(const std::string &path, size_t mib, unsigned seed)
{
    std::mt19937_64 gen(seed);
    std::vector<uint64_t> block((1 << 20) / sizeof(uint64_t));
    FILE *f = fopen(path.c_str(), "wb");
    for (size_t i = 0; i < mib; ++i) {
        for (uint64_t &v : block) {
            v = gen();
        }
        fwrite(block.data(), sizeof(uint64_t), block.size(), f);
    }
    fclose(f);
}

// Overwrites 100 scattered stretches of up to 64 bytes.
void ScatterEdits(const std::string &path, uint64_t size, unsigned seed)
{
    std::mt19937_64 gen(seed);
    int fd = open(path.c_str(), O_WRONLY);
    for (int i = 0; i < 100; ++i) {
        char bytes[64];
        for (char &c : bytes) {
            c = static_cast<char>(gen());
        }
        const uint64_t at = (size / 100) * i + gen() % (size / 200 + 1);
        (void)!pwrite(fd, bytes, 1 + gen() % sizeof(bytes), static_cast<off_t>(at));
    }
    close(fd);
}

// Writes back what earlier steps left dirty, before a timed step.
void Settle()
{
    sync();
}

// Copies a file over one loopback TCP connection into another file; seconds.
double LoopbackCopy(const std::string &from, const std::string &to)
{
    int lsock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(lsock, reinterpret_cast<sockaddr *>(&addr), len);
    listen(lsock, 1);
    getsockname(lsock, reinterpret_cast<sockaddr *>(&addr), &len);
    Settle();
    const double t0 = Now();
    std::thread receiver([&] {
        int s = accept(lsock, nullptr, nullptr);
        int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char> buf(1 << 20);
        ssize_t n;
        while ((n = read(s, buf.data(), buf.size())) > 0) {
            (void)!write(out, buf.data(), static_cast<size_t>(n));
        }
        fsync(out);
        close(out);
        close(s);
    });
    int s = socket(AF_INET, SOCK_STREAM, 0);
    connect(s, reinterpret_cast<sockaddr *>(&addr), len);
    int in = open(from.c_str(), O_RDONLY);
    std::vector<char> buf(1 << 20);
    ssize_t n;
    while ((n = read(in, buf.data(), buf.size())) > 0) {
        (void)!write(s, buf.data(), static_cast<size_t>(n));
    }
    close(in);
    shutdown(s, SHUT_WR);
    receiver.join();
    close(s);
    close(lsock);
    return Now() - t0;
}

// The bytes of upload data ("in") or answer data ("out") that the server logged for its
// last request on `path`.
unsigned long long LastLogged(const std::string &log, const std::string &path, const char *key)
{
    const size_t at = log.rfind("path=" + path + " ");
    if (at == std::string::npos) {
        return 0;
    }
    const size_t v = log.find(key, at);
    return v == std::string::npos ? 0 : std::stoull(log.substr(v + strlen(key)));
}

double Timed(TransferSession &s, const Event &ev, int *rc)
{
    Settle();
    const double t0 = Now();
    *rc = s.run(ev);
    return Now() - t0;
}

// Forgets the local copy and its row, so that the next download is a whole one.
void ForgetLocal(TransferSession &s, const std::string &path)
{
    std::filesystem::remove(s.local + path);
    s.db->rmEventInfo(ustring(path));
}

uint64_t SizeOf(const std::string &path) { return std::filesystem::file_size(path); }

double Run(const std::string &cmd)
{
    Settle();
    const double t0 = Now();
    if (system(cmd.c_str()) != 0) {
        fprintf(stderr, "failed: %s\n", cmd.c_str());
    }
    return Now() - t0;
}

void Report(const char *what, double seconds, double reference, const char *ref_name)
{
    printf("%-34s %8.2f s   %-22s %8.2f s   ratio %.2f\n", what, seconds, ref_name, reference,
           reference / seconds);
}

int LargeFile(TransferSession &s, size_t mib)
{
    const uint64_t size = static_cast<uint64_t>(mib) << 20;
    const std::string path = "/large.bin";
    const std::string full = s.local + path;
    printf("large file: %zu MiB\n", mib);
    WriteRandomFile(full, mib, 7);
    const std::string basis = s.tmp.file("basis");
    std::filesystem::copy_file(full, basis);
    const double copy = LoopbackCopy(full, s.tmp.file("copy"));
    const double mbs = static_cast<double>(size) / (1 << 20);

    int rc;
    const double up = Timed(s, s.localEvent(path, Event::EV_CREATE), &rc);
    if (rc != 0) {
        fprintf(stderr, "upload failed: %d\n", rc);
        return 1;
    }
    ForgetLocal(s, path);
    const double down = Timed(s, s.serverEvent(path), &rc);
    if (rc != 0) {
        fprintf(stderr, "download failed: %d\n", rc);
        return 1;
    }
    printf("loopback copy %.0f MiB/s, upload %.0f MiB/s, download %.0f MiB/s\n", mbs / copy,
           mbs / up, mbs / down);
    Report("upload whole (share of copy)", up, copy, "loopback copy");
    Report("download whole (share of copy)", down, copy, "loopback copy");

    // A patch: the server's version gets 100 edits; the basis here is the synced one.
    const std::string edited = s.tmp.file("edited");
    std::filesystem::copy_file(full, edited);
    ScatterEdits(edited, size, 11);
    s.server.admin({"put", std::to_string(s.account.view_id), path, edited});
    const double patch = Timed(s, s.serverEvent(path), &rc);
    const unsigned long long patch_bytes = LastLogged(s.server.log(), path, "out=");
    if (rc != 0 || patch_bytes == 0) {
        fprintf(stderr, "patch download failed: %d\n", rc);
        return 1;
    }
    // A delta: 100 local edits of the synced version.
    ScatterEdits(full, size, 13);
    const double delta = Timed(s, s.localEvent(path, Event::EV_MODIFY), &rc);
    const unsigned long long delta_bytes = LastLogged(s.server.log(), path, "in=");
    if (rc != 0 || delta_bytes == 0) {
        fprintf(stderr, "delta upload failed: %d\n", rc);
        return 1;
    }

    // Reference: rdiff over the same edit, and the rdiff delta copied over loopback.
    const std::string sig = s.tmp.file("rdiff.sig");
    const std::string rdelta = s.tmp.file("rdiff.delta");
    const std::string out = s.tmp.file("rdiff.out");
    double rdiff = Run("rdiff -H md4 -R rollsum -b 2048 -S 8 signature " + basis + " " + sig);
    rdiff += Run("rdiff delta " + sig + " " + edited + " " + rdelta);
    rdiff += LoopbackCopy(rdelta, s.tmp.file("rdiff.copy"));
    rdiff += Run("rdiff patch " + basis + " " + rdelta + " " + out);
    printf("patch download: %llu bytes, delta upload: %llu bytes, rdiff delta: %llu bytes "
           "(file %llu bytes)\n",
           patch_bytes, delta_bytes, static_cast<unsigned long long>(SizeOf(rdelta)),
           static_cast<unsigned long long>(size));
    Report("download as patch", patch, rdiff, "rdiff + loopback");
    Report("upload as delta", delta, rdiff, "rdiff + loopback");
    return 0;
}

int ManyFiles(TransferSession &s, int count)
{
    printf("small files: %d of 4 KiB\n", count);
    for (int i = 0; i < count; ++i) {
        WriteFile(s.local + "/many/" + std::to_string(i % 100) + "/f" + std::to_string(i),
                  RandomBytes(4096, static_cast<unsigned>(1000 + i)));
    }
    double t0 = Now();
    for (int i = 0; i < count; ++i) {
        const std::string path = "/many/" + std::to_string(i % 100) + "/f" + std::to_string(i);
        if (s.run(s.localEvent(path, Event::EV_CREATE)) != 0) {
            fprintf(stderr, "upload of %s failed\n", path.c_str());
            return 1;
        }
    }
    const double up = Now() - t0;
    std::filesystem::remove_all(s.local + "/many");
    s.db->rmEventInfo(ustring("/many"));
    nlohmann::json ls = s.server.adminJson({"ls", std::to_string(s.account.view_id)});
    std::vector<Event> events;
    for (const auto &e : ls["entries"]) {
        const std::string p = e["path"].get<std::string>();
        if (p.rfind("/many/", 0) == 0 && !e["is_dir"].get<bool>()) {
            events.push_back(s.eventFromEntry(p, e));
        }
    }
    t0 = Now();
    for (const Event &ev : events) {
        if (s.run(ev) != 0) {
            fprintf(stderr, "download of %s failed\n", ev.m_path.c_str_utf8());
            return 1;
        }
    }
    const double down = Now() - t0;
    printf("upload %.0f files/s, download %.0f files/s\n", count / up,
           static_cast<double>(events.size()) / down);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const size_t mib = argc > 1 ? static_cast<size_t>(atoi(argv[1])) : 1024;
    const int files = argc > 2 ? atoi(argv[2]) : 10000;
    TransferSession s;
    if (!s.start()) {
        fprintf(stderr, "cannot start the server session\n");
        return 1;
    }
    if (mib > 0 && LargeFile(s, mib) != 0) {
        return 1;
    }
    return files > 0 ? ManyFiles(s, files) : 0;
}
