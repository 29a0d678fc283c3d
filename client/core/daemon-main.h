// The daemon's start-up and orderly end, called by main().
#pragma once

// Runs the daemon: configuration, logging, pid file, then (once the control plane
// exists) the application until a stop arrives. 0 after an orderly stop, -1 when
// start-up fails.
int DaemonMain(int argc, char **argv);

// Writes the usage text to standard output, flushing after every line.
void usage();
