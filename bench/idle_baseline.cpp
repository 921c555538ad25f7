// The reference processes of bench/idle_cost.sh: a bare process linked with
// the daemon's libraries that only sleeps (its resident memory is what the
// libraries alone cost), or, with --ticker, wakes every 10 ms as a clock
// thread that polls would (its processor time is the cost of such polling).
#include <time.h>

#include <cstring>

int main(int argc, char** argv) {
    bool ticker = argc > 1 && strcmp(argv[1], "--ticker") == 0;
    struct timespec span {};
    if (ticker) {
        span.tv_nsec = 10 * 1000 * 1000;
    } else {
        span.tv_sec = 3600;
    }
    for (;;) {
        nanosleep(&span, nullptr);
    }
}
