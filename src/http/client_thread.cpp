// Client connections (placeholder until the HTTP front end lands: connections are closed).
#include "http/client_thread.h"

#include <unistd.h>

int start_client_thread(RelayContext*, int fd) {
    close(fd);
    return 0;
}
