#include "client/core/daemon-main.h"

#include "client/core/app.h"
#include "client/core/settings.h"
#include "client/core/ui-ipc-closer.h"
#include "client/event-manager.h"
#include "log.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <thread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// Configuration paths longer than this are refused, as the conversion buffer of the
// original start-up would.
const size_t kMaxConfigPath = 8191;

const char *const kUsageLines[] = {
    "* Controling application: ",
    "    Control <action>",
    "",
    "* Controling session: ",
    "    ControlSession <action> <session_id> ",
    "",
    "* Supported actions: ",
    "    stop",
    "    link",
    "    unlink",
    "    pause",
    "    resume",
    "    reload_setting",
    "    reload_session",
    "    add_session",
    "    remove_session",
    "",
};

void prepareSockets()
{
    // A write to a closed peer must fail with EPIPE, never kill the process.
    std::signal(SIGPIPE, SIG_IGN);
}

void prepareTls()
{
    // OpenSSL 3 locks internally; loading the error strings and initialising the
    // library is all that is left of the thread set-up.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

int startLogging(Settings &settings)
{
    ustring level_path = settings.getLogLevelFilePath();
    if (settings.isForeground()) {
        return Logger::Initialize(Logger::STDOUT_LOGGER, ustring(), level_path, 50);
    }
    ustring log_path = settings.getLogFilePath();
    if (Logger::Initialize(Logger::FILE_LOGGER, log_path, level_path, 50) != 0) {
        return -1;
    }
    Logger::LogMsg(Logger::L_NOTICE, "client_debug",
                   "[NOTE] test.cpp(%d): daemon is now running in the background\n", __LINE__);
    return 0;
}

void writePidFile(const ustring &pid_path)
{
    FILE *fp = std::fopen(pid_path.c_str_utf8(), "w");
    if (fp == nullptr) {
        Logger::LogMsg(Logger::L_ERR, "client_debug",
                       "[ERROR] test.cpp(%d): failed to create pid file at '%s'\n", __LINE__,
                       pid_path.c_str_utf8());
        return;
    }
    std::fprintf(fp, "%d\n", static_cast<int>(getpid()));
    std::fclose(fp);
}

// SIGTERM and SIGINT end the daemon like a "stop" control message. They are blocked in
// every thread and taken by one watcher thread, which asks the application to stop and
// wakes the control listener with a connection of its own.
class StopSignalWatcher
{
public:
    static void blockStopSignals()
    {
        // An ignored signal would be discarded even while blocked (a daemon started in
        // the background by a shell inherits SIGINT ignored), so restore the default first;
        // blocked, the default action never runs.
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
        sigset_t set = sigset();
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }

    void start(AerolithApp *app) { m_thread = std::thread(&StopSignalWatcher::watch, this, app); }

    ~StopSignalWatcher()
    {
        m_done = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

private:
    static sigset_t sigset()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGINT);
        return set;
    }

    void watch(AerolithApp *app)
    {
        sigset_t set = sigset();
        struct timespec poll_interval = {0, 200 * 1000 * 1000};
        while (!m_done) {
            int sig = sigtimedwait(&set, nullptr, &poll_interval);
            if (sig == SIGTERM || sig == SIGINT) {
                Logger::LogMsg(Logger::L_NOTICE, "client_debug",
                               "[NOTE] test.cpp(%d): signal %d received, stopping\n", __LINE__,
                               sig);
                app->request_stop();
                wakeListener(app->control_port());
                return;
            }
        }
    }

    static void wakeListener(int port)
    {
        if (port <= 0) {
            return; // the listener checks the stop request before it serves anything
        }
        // A bare connection is enough to end the listener's wait: the listener checks the
        // stop request before it reads anything. The listener may also have closed
        // already, so the attempt is silent whatever its outcome.
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return;
        }
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr));
        ::close(fd);
    }

    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

} // namespace

void usage()
{
    for (const char *line : kUsageLines) {
        std::fprintf(stdout, "%s\n", line);
        std::fflush(stdout);
    }
}

int DaemonMain(int argc, char **argv)
{
    if (argc > 3) {
        return -1;
    }
    // Blocked before any thread exists, so that every thread inherits the mask and the
    // watcher alone takes the signals.
    StopSignalWatcher::blockStopSignals();
    prepareSockets();
    std::setlocale(LC_ALL, "");
    prepareTls();

    Settings &settings = Settings::getInstance();
    if (argc >= 2) {
        ustring config_path(argv[1]);
        if (config_path.length() > kMaxConfigPath) {
            return -1;
        }
        settings.loadConfigSettings(config_path);
    }

    if (startLogging(settings) != 0) {
        std::fprintf(stderr, "Aerolith: client is not enabled %s %s\n",
                     settings.getLogFilePath().c_str_utf8(),
                     settings.getLogLevelFilePath().c_str_utf8());
        return -1;
    }

    ustring pid_path = settings.getPidFilePath();
    if (!pid_path.empty()) {
        writePidFile(pid_path);
    }
    usage();

    {
        AerolithApp app;
        StopSignalWatcher watcher;
        app.run();
        watcher.start(&app);
        recieve_from_ipc(&app);
        app.kill();
    }
    EventManager::getInstance().StopMarks();
    // Messages sent just before the end still get their time to be read.
    PeerDoneCloser::getInstance().drain();

    if (!pid_path.empty()) {
        std::remove(pid_path.c_str_utf8());
    }
    return 0;
}
