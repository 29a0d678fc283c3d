// Shared pieces of aerolithctl, the command-line stand-in for the desktop user interface:
// options, JSON <-> control messages, the state file and sending one control message.
#pragma once

#include "protocol/object.h"

#include <nlohmann/json.hpp>

#include <string>
#include <sys/types.h>
#include <vector>

using json = nlohmann::json;

struct Options {
    std::string state_path;
    int port = -1;
    std::string command;
    std::string config_path;
    std::string daemon_path;
    bool json_output = false;
    // Everything after the command word that is not a global option.
    std::vector<std::string> args;
};

// Prints "aerolithctl: TEXT" to standard error; returns 1.
int fail(const std::string &text);

bool jsonToObject(const json &in, PObject &out, std::string &error);
json objectToJson(const PObject &in);
// One JSON line on standard output.
void printLine(const PObject &obj);

bool writeState(const std::string &path, int port, pid_t pid);
// The remembered control port, or -1.
int readStatePort(const std::string &path);

// Sends one control message and reads its reply. 0, or 1 after printing why not.
int exchangeMessage(const Options &opt, const PObject &request, PObject &reply);
// Sends one control message and prints the reply as JSON. 0, or 1.
int sendMessage(const Options &opt, const PObject &request);

// The record of connections and sessions sent to the daemon, replayed whenever
// "start" starts it again.
std::string rememberedPath();
// Records a request the daemon accepted (connections, sessions, pause and resume).
void rememberAction(const PObject &request);
// Sends link, the connections, the sessions and the resumes remembered. 0, or 1 when any
// of them failed.
int replayRemembered(const Options &opt);

// Verbs. Each returns the process exit status.
int commandStart(const Options &opt);
int commandConnect(const Options &opt);
int commandReconnect(const Options &opt);
int commandDisconnect(const Options &opt);
int commandStatus(const Options &opt);
int commandWaitIdle(const Options &opt);
int commandAddSession(const Options &opt);
int commandRemoveSession(const Options &opt);
int commandPause(const Options &opt);
int commandResume(const Options &opt);
int commandReloadSession(const Options &opt);
int commandAddEvent(const Options &opt);
