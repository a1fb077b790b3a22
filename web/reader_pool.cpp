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
        // The file may still be replaced between this look and the read:
        // the read is then of the old file with the log beside the path,
        // which may be the new file's by then: at worst a page of mixed
        // figures or a failure. It writes nothing, and the next look lets
        // go of it.
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
    // Not left for the next request, which may be a quarter of an hour
    // away: while the view holds a file that has been moved away, the log's
    // index beside its old name stays that file's, and a program that opens
    // a new file there reads the new file through it. What remains is the
    // time to the next pass: a file opened in place of the old within it
    // is still read so. A stat each, as each request's look is.
    for (auto it = idle.begin(); it != idle.end();) {
        if (it->reader->replaced()) {
            closing.push_back(std::move(*it));
            it = idle.erase(it);
        } else {
            ++it;
        }
    }
}
