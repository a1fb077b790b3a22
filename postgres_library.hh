// libpq, the PostgreSQL client library, as the store calls it: loaded when a
// run names a PostgreSQL store, so that a run that does not never maps it,
// nor the libraries it pulls in.
#ifndef WAREHOUSE_POSTGRES_LIBRARY_HH
#define WAREHOUSE_POSTGRES_LIBRARY_HH

#include <libpq-fe.h>

#include <string>

// The library's functions that the store calls, each once here.
#define WAREHOUSE_LIBPQ_FUNCTIONS(function)                                   \
    function(PQclear) function(PQconninfoFree) function(PQconninfoParse)     \
    function(PQconnectdbParams) function(PQconsumeInput)                     \
    function(PQenterPipelineMode) function(PQerrorMessage) function(PQexec)  \
    function(PQexitPipelineMode) function(PQfinish) function(PQfreemem)      \
    function(PQgetCopyData) function(PQgetResult) function(PQgetisnull)      \
    function(PQgetlength) function(PQgetvalue) function(PQisBusy)            \
    function(PQntuples) function(PQpipelineSync) function(PQputCopyData)     \
    function(PQputCopyEnd) function(PQresultErrorField)                      \
    function(PQresultErrorMessage) function(PQresultStatus)                  \
    function(PQsendQuery) function(PQsendQueryParams) function(PQsocket)     \
    function(PQstatus) function(PQtransactionStatus)

namespace pq {

#define WAREHOUSE_LIBPQ_DECLARE(name) extern decltype(&::name) name;
WAREHOUSE_LIBPQ_FUNCTIONS(WAREHOUSE_LIBPQ_DECLARE)
#undef WAREHOUSE_LIBPQ_DECLARE

/// Loads the library and finds its functions, once; false, with a line that
/// names the package to install in error, when it cannot. Nothing of pq::
/// may be called before it succeeded.
bool load(std::string& error);

}  // namespace pq

#endif
