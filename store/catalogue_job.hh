// The catalogue's jobs from the command line: the store's catalogue written
// to a spreadsheet's file, or taken back from one, and the run ends.
#ifndef WAREHOUSE_STORE_CATALOGUE_JOB_HH
#define WAREHOUSE_STORE_CATALOGUE_JOB_HH

#include "store/store.hh"

#include <string>
#include <string_view>

/// The options' lines of the usage.
extern const std::string_view CATALOGUE_USAGE;

/// What a job does with its file.
enum class CatalogueJob { Out, In };

/// Opens the store that where names and writes its catalogue to file (Out),
/// or takes file back into it (In): checked whole first, every bad line
/// reported with its number and reason, and nothing changed unless all are
/// good; only the store's owner changes it. Gives the exit status: 0 when
/// done, 1 when not, with lines on standard error that say why.
int runCatalogueJob(CatalogueJob job, const std::string& where,
                    const StoreOptions& options, const std::string& file);

#endif
