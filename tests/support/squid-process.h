// A real squid for proxy tests and benchmarks: writes a configuration into a temporary
// directory (readable by the `proxy` user squid drops to when started as root), starts
// `squid -N -f CONF` on a free loopback port and stops it by its pid.
#pragma once

#include <sys/types.h>

#include <string>

class SquidProcess
{
public:
    enum Auth { OPEN, BASIC, NTLM };

    SquidProcess() : m_pid(-1), m_port(0) {}
    ~SquidProcess() { Stop(); }
    SquidProcess(const SquidProcess &) = delete;
    SquidProcess &operator=(const SquidProcess &) = delete;

    // Path of the squid binary, or "" when squid is not installed.
    static std::string Binary();

    // Starts squid with the given authentication (BASIC checks user and password through
    // basic_ncsa_auth; NTLM runs ntlm_fake_auth, which accepts any answer) and waits until
    // it accepts connections. false with a reason in error.
    bool Start(Auth auth, const std::string &user, const std::string &password, std::string &error);
    // SIGTERM, then waits for the process (SIGKILL after 15 s).
    void Stop();
    int port() const { return m_port; }
    // squid's own log, for failure messages.
    std::string CacheLog() const;

private:
    bool WriteConfig(Auth auth, const std::string &user, const std::string &password,
                     std::string &error);
    bool WaitListening(std::string &error);
    void StopProcess();

    std::string m_dir;
    pid_t m_pid;
    int m_port;
};
