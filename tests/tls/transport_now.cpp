// The monotonic clock of the transport seam, for the programs here until the feed client brings its own.
#include <time.h>

#include "transport.h"

long long feed_transport_now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}
