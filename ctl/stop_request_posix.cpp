#include <signal.h>

#include "ctl/stop_request.h"

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
}

}  // namespace qx17::ctl
