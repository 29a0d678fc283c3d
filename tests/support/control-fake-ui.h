// Helpers for tests of the control plane: a stand-in user interface that collects what
// the daemon sends it, one-shot control requests, and the real daemon binary run with a
// configuration of its own.
#pragma once

#include "protocol/object.h"
#include "support/temp-dir.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Listens on an ephemeral loopback port and keeps every message received there, one
// message per connection, as the daemon's announcement and notifications arrive.
class FakeUI
{
public:
    FakeUI();
    ~FakeUI();
    FakeUI(const FakeUI &) = delete;
    FakeUI &operator=(const FakeUI &) = delete;

    int port() const { return m_port; }
    // Waits until at least n messages have arrived; false after timeout_ms.
    bool waitFor(size_t n, int timeout_ms);
    std::vector<PObject> messages();
    // When each message of messages() arrived, in the same order.
    std::vector<std::chrono::steady_clock::time_point> arrivals();

private:
    void serve();

    int m_fd;
    int m_port;
    std::atomic<bool> m_done;
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<PObject> m_messages;
    std::vector<std::chrono::steady_clock::time_point> m_arrivals;
    std::thread m_thread;
};

// Sends request to 127.0.0.1:port and reads one reply. 0, -1 when the connection or the
// send failed, -2 when no reply came back.
int controlRequest(int port, const PObject &request, PObject &reply);
PObject action(const char *name);

// The filter files the user interface writes into a session's configuration folder
// before adding the session: nothing filtered.
void writeSessionFilterFiles(const std::string &config);

// A loopback port nobody listens on right now (bound once by the kernel, then released).
int unusedPort();

// The daemon binary with a configuration in `dir` that keeps everything there and points
// the user-interface port at `ui`.
class DaemonProcess
{
public:
    DaemonProcess(const TempDir &dir, FakeUI &ui, const std::string &extra_config = "");
    ~DaemonProcess();

    // Starts the daemon and waits for its announcement. False when none came.
    bool start(int timeout_ms = 10000);
    int controlPort() const { return m_control_port; }
    pid_t pid() const { return m_pid; }
    // Exit status once ended; -1 when it did not end within timeout_ms (or was killed by a
    // signal).
    int waitExit(int timeout_ms = 10000);
    bool running();
    std::string output() const;
    const std::string &pidPath() const { return m_pid_path; }
    const std::string &configPath() const { return m_config_path; }
    // A valid, empty system filter file at the configured path.
    void writeSystemFilter();

private:
    const TempDir &m_dir;
    FakeUI &m_ui;
    std::string m_config_path;
    std::string m_pid_path;
    std::string m_out_path;
    pid_t m_pid;
    int m_status; // exit status once reaped
    int m_control_port;
};
