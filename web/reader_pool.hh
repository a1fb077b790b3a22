// The views of the store that requests served side by side take turns
// with.
#ifndef WAREHOUSE_WEB_READER_POOL_HH
#define WAREHOUSE_WEB_READER_POOL_HH

#include "web/store_reader.hh"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

/// Views of one store, each lent to one request at a time. A view is opened
/// when a request finds none idle; one whose read failed is dropped, not
/// lent again, so that a store that comes back is reopened.
class ReaderPool {
public:
    /// A view on loan: back to the pool when the lease ends, unless it
    /// failed.
    class Lease {
    public:
        Lease(ReaderPool& pool, std::unique_ptr<StoreReader> reader)
            : pool(&pool), reader(std::move(reader))
        {
        }
        Lease(Lease&&) = default;
        ~Lease();

        StoreReader& operator*() const { return *reader; }
        StoreReader* operator->() const { return reader.get(); }
        /// The view is not to be lent again.
        void failed() { broken = true; }

    private:
        ReaderPool* pool;
        std::unique_ptr<StoreReader> reader;
        bool broken = false;
    };

    explicit ReaderPool(std::string where) : where(std::move(where)) {}

    /// The store as given, password and all: for withoutPasswords().
    const std::string& store() const { return where; }

    /// An idle view, or a new one; throws StoreError when none can be
    /// opened. Views of a store file that has been replaced are dropped.
    Lease lend();

    /// Closes the views that no request has used for the time unused; the
    /// one used last stays open until it has been unused for the time
    /// last, for the figures it keeps between requests. Views of a
    /// store file that has been replaced are closed at once.
    void closeIdle(std::chrono::steady_clock::duration unused,
                   std::chrono::steady_clock::duration last);

private:
    const std::string where;
    std::mutex lock;  // guards idle
    struct Idle {
        std::unique_ptr<StoreReader> reader;
        std::chrono::steady_clock::time_point since;
    };
    std::vector<Idle> idle;  // the last returned last
};

#endif
