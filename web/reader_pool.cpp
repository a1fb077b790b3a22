// The views of the store that requests take turns with.
#include "web/reader_pool.hh"

ReaderPool::Lease::~Lease()
{
    if (!reader) {  // moved from
        return;
    }
    reader->finish();
    if (broken) {
        return;
    }
    const std::lock_guard<std::mutex> guard(pool->lock);
    pool->idle.push_back(std::move(reader));
}

ReaderPool::Lease ReaderPool::lend()
{
    {
        const std::lock_guard<std::mutex> guard(lock);
        if (!idle.empty()) {
            std::unique_ptr<StoreReader> reader = std::move(idle.back());
            idle.pop_back();
            return Lease(*this, std::move(reader));
        }
    }
    // Opened outside the lock: a server slow to answer holds up this
    // request alone.
    return Lease(*this, StoreReader::open(where));
}
