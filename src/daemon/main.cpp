// Entry point of the quarlin relay daemon.
#include "daemon/startup.h"

int main(int argc, char** argv) {
    Options opts;
    int status = parse_options(argc, argv, &opts);
    if (status != 0)
        return status;
    return run_relay(opts);
}
