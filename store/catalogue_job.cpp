// The catalogue written out, or read back, with nothing else of a run.
#include "store/catalogue_job.hh"

#include "store/job_files.hh"
#include "store/store_name.hh"
#include "store/store_open.hh"
#include "util/command_line.hh"

#include <iostream>
#include <memory>

const std::string_view CATALOGUE_USAGE =
    R"(  --catalogue-out CSV      write the store's catalogue to CSV and end
  --catalogue-in CSV       change the catalogue as CSV says, all or nothing
                           (the store's owner only), and end
)";

namespace {

const char* const OWNER_CHANGES =
    "only the store's owner may change the catalogue";

int writeOut(Store& store, const std::string& file)
{
    std::vector<CatalogueRecord> records;
    if (!store.readCatalogue(records)) {
        return -1;
    }
    return writeWholeFile(file, catalogueCsv(records)) ? 0 : 1;
}

int takeIn(Store& store, const std::string& file)
{
    if (!store.mayOwn()) {
        report("catalogue", OWNER_CHANGES);
        return 1;
    }
    std::string text;
    std::vector<CatalogueRecord> records;
    if (!readWholeFile(file, text)) {
        return 1;
    }
    // Read against the catalogue as it is, so that every bad line is named
    // at once, the lines whose changes it would not take among them.
    if (!store.readCatalogue(records)) {
        return -1;
    }
    const CatalogueFile read = readCatalogueFile(text, records);
    if (refusedFile(file, read.problems)) {
        return 1;
    }
    std::size_t changed = 0;
    std::vector<std::string> refused;
    if (!store.changeCatalogue(read, changed, refused)) {
        return -1;
    }
    if (refusedFile(file, refused)) {
        return 1;
    }
    std::cout << "Catalogue: " << changed
              << (changed == 1 ? " record" : " records") << " changed or added."
              << std::endl;
    return std::cout ? 0 : 1;
}

}  // namespace

int runCatalogueJob(CatalogueJob job, const std::string& where,
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
    const int status = job == CatalogueJob::Out ? writeOut(*store, file)
                                                : takeIn(*store, file);
    if (status < 0) {
        report("store " + storeName(where), withoutPasswords(store->error(), where));
        return 1;
    }
    return status;
}
