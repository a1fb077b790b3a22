#include "memory_reserve.hh"

#include <sys/mman.h>

#include <cstddef>
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

}  // namespace

void MemoryReserve::keep()
{
    kept = true;
    take();
    std::set_new_handler(&giveBackAndFail);
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
