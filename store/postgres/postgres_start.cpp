// A store in PostgreSQL opened: connected, made or brought up to date, and its
// stock loaded.
#include "store/postgres/postgres_store.hh"

#include "store/postgres/postgres_schema.hh"

#include <cstdlib>
#include <cstring>

namespace {

/// The shapes a run works with as they are, as a list of SQL literals.
std::string shapesUsedSql()
{
    std::string list;
    for (const std::string& shape : postgres_schema::shapesUsed()) {
        list += (list.empty() ? "'" : ", '") + shape + "'";
    }
    return list;
}

std::string startStatements()
{
    const std::string shape = postgres_schema::SHAPE_FOUND;
    return "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY; " + shape +
           "; SELECT (SELECT max(version) FROM store_version), "
           "has_table_privilege('stock', 'INSERT') AND "
           "has_column_privilege('stock', 'amount', 'UPDATE') AND "
           "has_table_privilege('stock', 'DELETE'), "
           "pg_current_snapshot(), " +
           (Progress::showing() ? "(SELECT count(*) FROM stock)" : "0") +
           ", pg_has_role((SELECT relowner FROM pg_class WHERE oid = "
           "'stock'::regclass), 'USAGE'), "
           "(SELECT count(*) = 3 FROM pg_roles WHERE rolname IN "
           "('warehouse_reader', 'warehouse_clerk', 'warehouse_owner')), "
           "CASE WHEN (SELECT count(*) = 3 FROM pg_roles WHERE rolname IN "
           "('warehouse_reader', 'warehouse_clerk', 'warehouse_owner')) "
           "AND to_regclass('catalogue') IS NOT NULL THEN " +
           postgres_schema::GRANTS_MISSING + " ELSE false END, "
           "pg_has_role((SELECT relowner FROM pg_class WHERE oid = "
           "'stock'::regclass), 'USAGE') OR EXISTS (SELECT FROM pg_roles "
           "WHERE rolname = 'warehouse_owner' AND pg_has_role(oid, 'USAGE')); "
           "COPY (SELECT id, amount, shelf, name FROM stock WHERE (" +
           shape + ") IN (" + shapesUsedSql() +
           ")) TO STDOUT (FORMAT binary); COMMIT";
}

}  // namespace

bool PostgresStore::start(const std::string& uri)
{
    // A commit is durable on the server before the run shows it; a lock is
    // waited for as long as the run may wait; the name a clerk gave goes
    // into the history beside the login.
    const auto milliseconds = options.wait.count();
    std::string settings =
        "-c synchronous_commit=on -c client_min_messages=warning "
        "-c lock_timeout=" +
        std::to_string(milliseconds > 0 ? milliseconds : 1);
    if (!options.clerk.empty()) {
        settings += " -c warehouse.clerk=";
        for (const char c : options.clerk) {
            if (c == ' ' || c == '\\') {
                settings += '\\';
            }
            settings += c;
        }
    }
    std::string error;
    if (!session.connect(uri, settings, error)) {
        return fail(error);
    }
    // A store made or brought up to date is read again.
    for (int tries = 0; tries < 3; ++tries) {
        bool again = false;
        if (!loadAtStart(again)) {
            return false;
        }
        if (!again) {
            watchTable();
            return true;
        }
    }
    return fail("the store keeps changing its shape");
}

bool PostgresStore::loadAtStart(bool& again)
{
    const std::string sql = startStatements();
    if (!session.sendStatements(sql.c_str())) {
        return failWith("");
    }
    const Result begun = session.next();
    const Result shapeRow = session.next();
    const Result facts = session.next();
    if (!begun || !succeeded(begun.get()) || !shapeRow ||
        !succeeded(shapeRow.get()) || !facts) {
        const PGresult* failed = !begun                    ? nullptr
                                 : !succeeded(begun.get()) ? begun.get()
                                                           : shapeRow.get();
        failWith("", failed);
        session.settle();
        return false;
    }
    const std::string shape = pq::PQgetvalue(shapeRow.get(), 0, 0);
    const bool known = succeeded(facts.get());
    if (known) {
        const Result copying = session.next();
        if (!copying || pq::PQresultStatus(copying.get()) != PGRES_COPY_OUT) {
            failWith("", copying.get());
            session.settle();
            return false;
        }
        if (!loadRows()) {
            session.settle();
            return false;
        }
    }
    session.settle();
    if (shape.empty()) {
        again = true;
        return makeStore();
    }
    const int version = known && !pq::PQgetisnull(facts.get(), 0, 0)
                            ? std::atoi(pq::PQgetvalue(facts.get(), 0, 0))
                            : 0;
    if (const char* why = postgres_schema::refusal(version, shape)) {
        return fail(why);
    }
    if (version < postgres_schema::OLDEST_USED) {
        again = true;
        return upgradeStore();
    }
    const auto flag = [&](int column) {
        return std::strcmp(pq::PQgetvalue(facts.get(), 0, column), "t") == 0;
    };
    writable = flag(1);
    seen = pq::PQgetvalue(facts.get(), 0, 2);
    const bool owner = flag(4);
    storeOwner = flag(7);
    if (version < postgres_schema::VERSION && owner) {
        // Only the history changes: the stock just loaded stands.
        upgradeIfItCan();
    }
    // A store just brought up to date may have tables the roles were never
    // granted.
    const bool rolesReady =
        flag(5) && !flag(6) && version == postgres_schema::VERSION;
    return !owner || rolesReady || grantRoles();
}

bool PostgresStore::makeStore()
{
    const std::string sql = postgres_schema::creation();
    if (!session.sendStatements(sql.c_str())) {
        return failWith("");
    }
    const Result made = session.finish();
    if (made && succeeded(made.get())) {
        madeAnew = true;
        return true;
    }
    session.settle();
    if (stateIs(made.get(), INSUFFICIENT_PRIVILEGE)) {
        return fail("there is no store in this database yet, and this login "
                    "may not make one: the store's owner makes it with a "
                    "first run");
    }
    return failWith("cannot make the store: ", made.get());
}

Result PostgresStore::migrate()
{
    const std::string sql = postgres_schema::migration();
    return session.sendStatements(sql.c_str()) ? session.finish()
                                               : Result(nullptr);
}

bool PostgresStore::upgradeStore()
{
    const Result upgraded = migrate();
    if (upgraded && succeeded(upgraded.get())) {
        return true;
    }
    session.settle();
    if (stateIs(upgraded.get(), INSUFFICIENT_PRIVILEGE)) {
        return fail("a store of an older version of this program: its "
                    "owner's next run brings it up to date");
    }
    return failWith("cannot bring the store up to date: ", upgraded.get());
}

void PostgresStore::upgradeIfItCan()
{
    // The store works as it is: when the upgrade cannot be made now (other
    // runs hold the tables past the wait), it waits for the owner's next
    // run.
    const Result upgraded = migrate();
    if (!upgraded || !succeeded(upgraded.get())) {
        session.settle();
    }
}

bool PostgresStore::grantRoles()
{
    const Result ready = execute(postgres_schema::ROLES);
    if (!ready) {
        return false;
    }
    if (std::strcmp(pq::PQgetvalue(ready.get(), 0, 0), "t") != 0) {
        startNotices.push_back(
            "the store's roles warehouse_clerk and warehouse_reader are "
            "missing, and this login may not make them; an administrator "
            "makes them with:");
        startNotices.push_back(postgres_schema::ROLES_FOR_AN_ADMINISTRATOR);
        startNotices.push_back(
            "and the next run of the store's owner grants them the store.");
    }
    return true;
}

std::unique_ptr<Store> openPostgresStore(const std::string& uri,
                                         Datastructure& table,
                                         const StoreOptions& options,
                                         std::string& error)
{
    if (!pq::load(error)) {
        return nullptr;
    }
    auto store = std::make_unique<PostgresStore>(table, options);
    if (!store->start(uri)) {
        error = store->error();
        return nullptr;
    }
    return store;
}
