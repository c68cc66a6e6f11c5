#include <signal.h>

#include "ctl/line/stop_request.h"

namespace qx17::ctl {

namespace {

void OnSignal(int) {
    StepStopLevel();
}

}  // namespace

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal or a dropped ssh session asks to stop, like SIGTERM.
    sigaction(SIGHUP, &action, nullptr);
    // An output that went away (`| tee` ended by the same Ctrl-C) or a file
    // size limit must not kill the program in the middle of a tracker: the
    // write fails instead, and the program goes on or says why it stops.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

}  // namespace qx17::ctl
