// Throughput of the delta engine's own pieces, each against a reference measured in
// the same run:
//   bench_rsapi_io md4             MD4 of an in-memory buffer in 16 KiB updates
//                                  (processor time, as `openssl speed` counts)
//   bench_rsapi_io writes FILE DIR one pass over FILE that copies it, hashes it and
//                                  computes its signature, with the appending writes
//                                  done in place and by the background writer
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

#include "rsapi-cpp/api.h"
#include "rsapi-cpp/md4.h"
#include "rsapi-cpp/xio.h"

namespace
{

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Processor time of this process, the divisor `openssl speed` uses too, so the
// comparison holds on a busy machine.
double cpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

int benchMd4()
{
    const size_t piece = 16384, total = size_t(1) << 29;
    std::vector<uint8_t> buffer(piece);
    for (size_t i = 0; i < piece; ++i)
        buffer[i] = static_cast<uint8_t>(i * 131 + 7);
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        double start = cpuSeconds();
        MD4HashHandler handler;
        handler.begin();
        for (size_t done = 0; done < total; done += piece)
            handler.update(buffer.data(), piece);
        handler.end();
        best = std::min(best, cpuSeconds() - start);
    }
    printf("md4_16k_kbytes_per_sec %.2f\n", total / best / 1000.0);
    return 0;
}

double timedPass(const char *file, const std::string &dir, fd_aio_mode mode)
{
    fd_aio_set_mode(mode);
    std::string copy = dir + "/bench-copy", sig = dir + "/bench-sig";
    unlink(copy.c_str());
    sync();
    auto start = std::chrono::steady_clock::now();
    SimpleFileReader reader;
    reader.setFile(file);
    reader.setCopyFile(copy.c_str());
    ustring md4;
    reader.setHashString(&md4);
    reader.setSignature(sig.c_str(), 2048, 8);
    if (reader.readFile() != 0) {
        fprintf(stderr, "bench_rsapi_io: pass failed\n");
        return -1;
    }
    double t = seconds(start);
    unlink(copy.c_str());
    unlink(sig.c_str());
    return t;
}

int benchWrites(const char *file, const std::string &dir)
{
    double best_sync = 1e9, best_thread = 1e9;
    for (int round = 0; round < 3; ++round) {
        double s = timedPass(file, dir, FD_AIO_SYNC), t = timedPass(file, dir, FD_AIO_THREAD);
        if (s < 0 || t < 0)
            return 1;
        best_sync = std::min(best_sync, s);
        best_thread = std::min(best_thread, t);
    }
    printf("copy_md4_signature_pass in_place %.3f s, background_writer %.3f s, ratio "
           "in_place/background %.2f\n",
           best_sync, best_thread, best_sync / best_thread);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "md4") == 0)
        return benchMd4();
    if (argc == 4 && strcmp(argv[1], "writes") == 0)
        return benchWrites(argv[2], argv[3]);
    fprintf(stderr, "usage: bench_rsapi_io md4 | writes FILE SCRATCH_DIR\n");
    return 1;
}
