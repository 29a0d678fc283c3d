// aerolith-server: the stand-in file server of the daemon's tests and demo.
//   aerolith-server --root DIR [--listen ADDR] [--port N] [--tls CERT KEY] [options]
//   aerolith-server admin --root DIR SUBCOMMAND [ARGS]
#include "log.h"
#include "server/admin.h"
#include "server/listener.h"
#include "server/options.h"

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>

#include <cstdio>
#include <cstring>
#include <string>

namespace
{

srv::ServerContext *g_ctx = nullptr;

void OnStopSignal(int)
{
    if (g_ctx != nullptr)
        g_ctx->stop.store(1);
}

// Request lines are informational; -v adds the debug dump of every request and answer.
int StartLogging(const srv::ServerOptions &opt)
{
    std::string levels = opt.root + "/log-levels";
    FILE *fp = fopen(levels.c_str(), "w");
    if (fp == nullptr)
        return -1;
    fprintf(fp, "aerolith_server = %d\n", opt.verbose ? 7 : 6);
    if (opt.verbose)
        fprintf(fp, "stream = 7\n");
    fclose(fp);
    return Logger::Initialize(Logger::STDERR_LOGGER, ustring(), ustring(levels), 0);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "admin") == 0)
        return srv::RunAdmin(argc - 2, argv + 2);
    srv::ServerOptions opt;
    std::string err;
    if (srv::ParseServerOptions(argc - 1, argv + 1, opt, err) < 0) {
        fprintf(stderr, "aerolith-server: %s\n", err.c_str());
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    srv::ServerContext ctx(opt);
    g_ctx = &ctx;
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnStopSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    int listen_fd = -1;
    if (mkdir(opt.root.c_str(), 0700) != 0 && errno != EEXIST) {
        fprintf(stderr, "aerolith-server: cannot create %s\n", opt.root.c_str());
        return 1;
    }
    StartLogging(opt);
    if (srv::StartServer(ctx, listen_fd, err) < 0) {
        fprintf(stderr, "aerolith-server: %s\n", err.c_str());
        return 1;
    }
    srv::RunListener(ctx, listen_fd);
    Logger::Destroy();
    return 0;
}
