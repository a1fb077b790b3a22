// Count sheets and delivery notes between a file and a store, with nothing
// else of a run.
#include "store/stock_take_job.hh"

#include "store/job_files.hh"
#include "store/store_name.hh"
#include "store/store_open.hh"
#include "util/command_line.hh"

#include <iostream>
#include <memory>

const std::string_view STOCK_TAKE_USAGE =
    R"(  --count-sheet CSV        write a blank count sheet of the stock, sorted by
                           shelf, to CSV and end
  --count CSV              take a filled-in count sheet, all or nothing (the
                           store's owner only), and end
  --deliveries CSV         receive a delivery note with best-before dates, all
                           or nothing, and end
)";

namespace {

const char* const OWNER_COUNTS = "only the store's owner may take a count";
const char* const CLERK_RECEIVES = "this login may only read the store";

/// What the stock the store was opened to holds: the shelves, names and
/// ids a file may give as they are, since its own sheet wrote them.
HeldProduct heldIn(const Datastructure& table)
{
    return [&table](const std::string& id, std::string& shelf, std::string& name) {
        return table.lookUp(id, [&](const std::string&, const std::string& heldShelf,
                                    std::uint32_t, const std::string& heldName) {
            shelf = heldShelf;
            name = heldName;
        });
    };
}

/// The file's base name, which the history's command gives.
std::string baseName(const std::string& file)
{
    const std::size_t slash = file.find_last_of('/');
    return slash == std::string::npos ? file : file.substr(slash + 1);
}

int writeSheet(Datastructure& table, const std::string& file)
{
    std::vector<SheetProduct> products;
    table.forEachProduct([&](const std::string& id, const std::string& shelf,
                             std::uint32_t amount, const std::string& name) {
        products.push_back({id, name, shelf, amount});
    });
    return writeWholeFile(file, countSheetCsv(std::move(products))) ? 0 : 1;
}

int takeCount(Store& store, const Datastructure& table, const std::string& file)
{
    if (!store.mayOwn()) {
        report("count", OWNER_COUNTS);
        return 1;
    }
    std::string text;
    if (!readWholeFile(file, text)) {
        return 1;
    }
    const CountSheet sheet = readCountSheet(text, heldIn(table));
    if (refusedFile(file, sheet.problems)) {
        return 1;
    }
    std::size_t differences = 0;
    if (!store.takeCount(sheet, "count " + baseName(file), differences)) {
        return -1;
    }
    std::cout << "Count: " << sheet.rows.size()
              << (sheet.rows.size() == 1 ? " product" : " products") << " counted, "
              << differences << (differences == 1 ? " difference." : " differences.")
              << std::endl;
    return std::cout ? 0 : 1;
}

int receive(Store& store, const Datastructure& table, const std::string& file)
{
    if (!store.mayChange()) {
        report("deliveries", CLERK_RECEIVES);
        return 1;
    }
    std::string text;
    if (!readWholeFile(file, text)) {
        return 1;
    }
    const DeliveryNote note = readDeliveryNote(text, heldIn(table));
    if (refusedFile(file, note.problems)) {
        return 1;
    }
    std::vector<std::string> problems;
    if (!store.receiveDeliveries(note, "deliveries " + baseName(file), problems)) {
        return -1;
    }
    if (refusedFile(file, problems)) {
        return 1;
    }
    std::cout << "Deliveries: " << note.rows.size()
              << (note.rows.size() == 1 ? " line" : " lines") << " received." << std::endl;
    return std::cout ? 0 : 1;
}

}  // namespace

bool stockTakeJobOf(const std::string& option, StockTakeJob& job)
{
    if (option == "--count-sheet") {
        job = StockTakeJob::Sheet;
    } else if (option == "--count") {
        job = StockTakeJob::Count;
    } else if (option == "--deliveries") {
        job = StockTakeJob::Deliveries;
    } else {
        return false;
    }
    return true;
}

int runStockTakeJob(StockTakeJob job, const std::string& where,
                    const StoreOptions& options, const std::string& file)
{
    const auto heldTable = std::make_unique<Datastructure>();
    Datastructure& table = *heldTable;
    std::string error;
    const std::unique_ptr<Store> store = openStore(where, table, options, error);
    if (!store) {
        report("store " + storeName(where), error);
        return 1;
    }
    const int status = job == StockTakeJob::Sheet   ? writeSheet(table, file)
                       : job == StockTakeJob::Count ? takeCount(*store, table, file)
                                                    : receive(*store, table, file);
    if (status < 0) {
        report("store " + storeName(where), withoutPasswords(store->error(), where));
        return 1;
    }
    return status;
}
