#include "client/core/daemon-main.h"

int main(int argc, char **argv)
{
    return DaemonMain(argc, argv);
}
