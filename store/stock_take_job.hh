// The stock-taking jobs from the command line: a blank count sheet written,
// a filled-in one taken, or a delivery note received, and the run ends.
#ifndef WAREHOUSE_STORE_STOCK_TAKE_JOB_HH
#define WAREHOUSE_STORE_STOCK_TAKE_JOB_HH

#include "store/store.hh"

#include <string>
#include <string_view>

/// The options' lines of the usage.
extern const std::string_view STOCK_TAKE_USAGE;

/// What a job does with its file.
enum class StockTakeJob { Sheet, Count, Deliveries };

/// The job an option names (--count-sheet, --count, --deliveries), or
/// false when it names none.
bool stockTakeJobOf(const std::string& option, StockTakeJob& job);

/// Opens the store that where names and writes a blank count sheet of its
/// stock to file (Sheet: anyone who may read it), takes a filled-in sheet
/// (Count: its owner alone), or receives a delivery note (Deliveries: a
/// clerk who may change the stock). A file taken is checked whole first,
/// every bad line reported with its number and reason, and nothing changes
/// unless all are good. Gives the exit status: 0 when done, 1 when not,
/// with lines on standard error that say why.
int runStockTakeJob(StockTakeJob job, const std::string& where,
                    const StoreOptions& options, const std::string& file);

#endif
