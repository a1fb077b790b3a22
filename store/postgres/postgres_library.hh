// libpq, the PostgreSQL client library, as the store calls it: loaded when a
// run names a PostgreSQL store, so that a run that does not never maps it,
// nor the libraries it pulls in.
#ifndef WAREHOUSE_POSTGRES_LIBRARY_HH
#define WAREHOUSE_POSTGRES_LIBRARY_HH

#include <libpq-fe.h>

#include <string>

// The library's functions that the store calls, each once here.
// clang-format off
#define WAREHOUSE_LIBPQ_FUNCTIONS(function) \
    function(PQbackendPID) \
    function(PQcancel) \
    function(PQclear) \
    function(PQconnectdbParams) \
    function(PQconnectPoll) \
    function(PQconnectStartParams) \
    function(PQconninfoFree) \
    function(PQconninfoParse) \
    function(PQconsumeInput) \
    function(PQenterPipelineMode) \
    function(PQerrorMessage) \
    function(PQexec) \
    function(PQexitPipelineMode) \
    function(PQfinish) \
    function(PQfreeCancel) \
    function(PQfreemem) \
    function(PQgetCancel) \
    function(PQgetCopyData) \
    function(PQgetisnull) \
    function(PQgetlength) \
    function(PQgetResult) \
    function(PQgetvalue) \
    function(PQisBusy) \
    function(PQntuples) \
    function(PQpipelineSync) \
    function(PQputCopyData) \
    function(PQputCopyEnd) \
    function(PQresultErrorField) \
    function(PQresultErrorMessage) \
    function(PQresultStatus) \
    function(PQsendQuery) \
    function(PQsendQueryParams) \
    function(PQsetNoticeProcessor) \
    function(PQsocket) \
    function(PQstatus) \
    function(PQtransactionStatus) \
    function(PQuser)
// clang-format on

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
