// A clock a year behind, for a process it is preloaded into: a client whose
// clock is wrong, which a store must not take the history's time from.
#include <dlfcn.h>
#include <sys/time.h>
#include <time.h>

namespace {

constexpr time_t YEAR = 365 * 24 * 60 * 60;

}  // namespace

extern "C" int clock_gettime(clockid_t clock, timespec* time)
{
    using Real = int (*)(clockid_t, timespec*);
    static const auto real =
        reinterpret_cast<Real>(dlsym(RTLD_NEXT, "clock_gettime"));
    const int result = real(clock, time);
    if (result == 0 &&
        (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) {
        time->tv_sec -= YEAR;
    }
    return result;
}

extern "C" int gettimeofday(timeval* time, void* zone)
{
    timespec now{};
    const int result = clock_gettime(CLOCK_REALTIME, &now);
    if (result == 0) {
        time->tv_sec = now.tv_sec;
        time->tv_usec = static_cast<suseconds_t>(now.tv_nsec / 1000);
    }
    static_cast<void>(zone);
    return result;
}
