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
    pool->idle.push_back({std::move(reader), std::chrono::steady_clock::now()});
}

ReaderPool::Lease ReaderPool::lend()
{
    for (;;) {
        std::unique_ptr<StoreReader> reader;
        {
            const std::lock_guard<std::mutex> guard(lock);
            if (idle.empty()) {
                break;
            }
            reader = std::move(idle.back().reader);
            idle.pop_back();
        }
        if (!reader->replaced()) {
            return Lease(*this, std::move(reader));
        }
    }
    // Opened outside the lock: a server slow to answer holds up this
    // request alone.
    return Lease(*this, StoreReader::open(where));
}

void ReaderPool::closeIdle(std::chrono::steady_clock::duration unused,
                           std::chrono::steady_clock::duration last)
{
    std::vector<Idle> closing;  // closed outside the lock
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard<std::mutex> guard(lock);
    // The first are those returned longest ago.
    std::size_t stale = 0;
    while (stale < idle.size() && idle[stale].since < now - unused) {
        ++stale;
    }
    if (stale > 0 && stale == idle.size() && idle.back().since >= now - last) {
        --stale;
    }
    closing.insert(closing.end(), std::make_move_iterator(idle.begin()),
                   std::make_move_iterator(idle.begin() + static_cast<long>(stale)));
    idle.erase(idle.begin(), idle.begin() + static_cast<long>(stale));
}
