// Address space kept back, and given up when memory runs out.
#include "util/memory_reserve.hh"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <new>

namespace {

constexpr std::size_t SIZE = std::size_t{1} << 20;
bool kept = false;
void* reserve = nullptr;  // the reserve while it is held

void giveBackAndFail()
{
    MemoryReserve::giveBack();
    throw std::bad_alloc();
}

// What a run needs beyond what it has mapped at the start, before it builds
// its table: the stack a command may use, the reserve, and the first lines.
constexpr std::size_t STACK = std::size_t{256} << 10;
constexpr std::size_t ROOM_TO_START = std::size_t{4} << 20;

/// True when the address space limit, if any, leaves room to start.
bool roomToStart()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 ||
        limit.rlim_cur == RLIM_INFINITY) {
        return true;
    }
    // Read with no allocation: there may be no room for one.
    char text[64] = {};
    const int statm = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    const ssize_t got = statm < 0 ? -1 : ::read(statm, text, sizeof text - 1);
    if (statm >= 0) {
        ::close(statm);
    }
    std::size_t pages = 0;
    if (got <= 0 || std::sscanf(text, "%zu", &pages) != 1) {
        return true;  // nothing to tell by: the start will tell
    }
    const std::size_t mapped =
        pages * static_cast<std::size_t>(::getpagesize());
    return mapped + ROOM_TO_START <= limit.rlim_cur;
}

/// Grows the stack by as much as a command may use, before the reserve
/// takes what address space is left: the stack grows only as it is
/// touched, and a process at its limit could not grow it then.
[[gnu::noinline]] void growStack()
{
    volatile char room[STACK];
    // From the top down, a page at a time, as the stack grows.
    for (std::size_t at = STACK; at > 0; at -= 4096) {
        room[at - 1] = 0;
    }
    static_cast<void>(room[0]);
}

}  // namespace

bool MemoryReserve::keep()
{
    if (!roomToStart()) {
        return false;
    }
    growStack();
    kept = true;
    take();
    std::set_new_handler(&giveBackAndFail);
    return true;
}

void MemoryReserve::take()
{
    if (kept && reserve == nullptr) {
        void* block = ::mmap(nullptr, SIZE, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        reserve = block == MAP_FAILED ? nullptr : block;
    }
}

void MemoryReserve::giveBack()
{
    if (reserve != nullptr) {
        ::munmap(reserve, SIZE);
        reserve = nullptr;
    }
}
