// libpq, the PostgreSQL client library, as the store calls it: every call
// goes through pq::, so that one place decides how the library is reached.
#ifndef WAREHOUSE_POSTGRES_LIBRARY_HH
#define WAREHOUSE_POSTGRES_LIBRARY_HH

#include <libpq-fe.h>

namespace pq {

using ::PQclear;
using ::PQconnectdbParams;
using ::PQconninfoFree;
using ::PQconninfoParse;
using ::PQconsumeInput;
using ::PQenterPipelineMode;
using ::PQerrorMessage;
using ::PQexec;
using ::PQexitPipelineMode;
using ::PQfinish;
using ::PQflush;
using ::PQfreemem;
using ::PQgetCopyData;
using ::PQgetisnull;
using ::PQgetlength;
using ::PQgetResult;
using ::PQgetvalue;
using ::PQisBusy;
using ::PQntuples;
using ::PQpipelineSync;
using ::PQputCopyData;
using ::PQputCopyEnd;
using ::PQresultErrorField;
using ::PQresultErrorMessage;
using ::PQresultStatus;
using ::PQsendQuery;
using ::PQsendQueryParams;
using ::PQsocket;
using ::PQstatus;
using ::PQtransactionStatus;

}  // namespace pq

#endif
