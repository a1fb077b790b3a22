// The catalogue written out, or read back, with nothing else of a run.
#include "store/catalogue_job.hh"

#include "store/store_name.hh"
#include "store/store_open.hh"
#include "util/command_line.hh"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

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
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << catalogueCsv(records);
    out.close();
    if (!out) {
        report(file, std::strerror(errno != 0 ? errno : EIO));
        return 1;
    }
    return 0;
}

int takeIn(Store& store, const std::string& file)
{
    if (!store.mayOwn()) {
        report("catalogue", OWNER_CHANGES);
        return 1;
    }
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in || in.bad()) {
        report(file, std::strerror(errno != 0 ? errno : EIO));
        return 1;
    }
    const CatalogueFile read = readCatalogueFile(text.str());
    for (const std::string& problem : read.problems) {
        report(file, problem);
    }
    if (!read.problems.empty()) {
        report(file, "nothing changed");
        return 1;
    }
    std::size_t changed = 0;
    if (!store.changeCatalogue(read, changed)) {
        return -1;
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
    Datastructure table;
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
