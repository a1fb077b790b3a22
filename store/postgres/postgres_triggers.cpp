// The functions and triggers through which the server keeps a PostgreSQL
// store's history and its dated lots, whoever changes the stock.
#include "store/postgres/postgres_triggers.hh"

namespace postgres_schema {

// The lots follow the stock, in the statement that changes it, whoever
// makes it: a product's decrease of k units takes min(k, its lots' units)
// from its lots, earliest date first (then lowest lot), and the rest from
// the undated; a product that goes takes its lots with it; an increase adds
// undated units, and touches no lot. A run's statement that writes several
// commands' changes of a product at once takes what each decrease would
// have taken alone. A trigger of its own, beside the history's: a store
// without lots costs a statement one look at an empty table. The count's
// reasons are told by the one run that takes it, for its own transaction's
// count entries alone.
// The lots a statement inserts are checked at its end, all at once: a
// product's lots may hold no more than its units, and none when it is not
// in stock. A client delivers the units before their lots, as the runs do;
// a later decrease takes the lots with it. The products' rows are locked
// until the commit, so that two clients' lots of one product are checked
// one after the other, each with the other's; the rows the transaction
// wrote itself are its own already, and a delivery of many products would
// pay as much again for locking them anew. Only inserts are checked: a
// withdrawal, which takes lots through stock_lots_taken, pays nothing.
const char* const LOTS_KEPT = R"(
    CREATE OR REPLACE FUNCTION stock_lots_taken() RETURNS trigger
    LANGUAGE plpgsql SECURITY DEFINER AS $$
    BEGIN
        IF TG_OP = 'TRUNCATE' THEN
            DELETE FROM lots;
            RETURN NULL;
        END IF;
        IF NOT EXISTS (SELECT FROM lots) THEN
            RETURN NULL;
        END IF;
        IF TG_OP = 'DELETE' THEN
            DELETE FROM lots WHERE id IN (SELECT id FROM old_rows);
            RETURN NULL;
        END IF;
        -- A run writes a product once for the commands of a round, as the
        -- last of them left it, and claims each command's change (see the
        -- history's triggers): each decrease claimed takes from the lots
        -- as it would alone, when the claims lead from the units the row
        -- had to those it has; else the statement's own decrease does.
        -- A full join, which is hashed or merged: the transition tables
        -- have no statistics, and a nested loop over a large statement's
        -- rows would take their square.
        -- Only the claims of products with lots are read further: a
        -- round's claims may be many, its products with lots few.
        WITH claims AS (
            SELECT decode(c.id, 'hex') AS id, c.before, c.after, c.n,
                   lag(c.after) OVER (PARTITION BY c.id ORDER BY c.n) AS previous
            FROM unnest(
                coalesce(nullif(current_setting('warehouse.claimed_ids', true), ''), '{}')::text[],
                coalesce(nullif(current_setting('warehouse.claimed_befores', true), ''), '{}')::bigint[],
                coalesce(nullif(current_setting('warehouse.claimed_afters', true), ''), '{}')::bigint[])
                WITH ORDINALITY AS c(id, before, after, n)
            WHERE c.id IN (SELECT encode(id, 'hex') FROM lots)
        ), claimed AS (
            SELECT id, sum(greatest(before - after, 0)) AS taken,
                   (array_agg(before ORDER BY n))[1] AS first,
                   (array_agg(after ORDER BY n DESC))[1] AS last,
                   bool_and(previous IS NULL OR previous = before) AS chained
            FROM claims GROUP BY id
        ), lowered AS (
            SELECT o.id,
                   CASE WHEN c.chained AND c.first = o.amount AND c.last = coalesce(n.amount, 0)
                        THEN c.taken ELSE o.amount - coalesce(n.amount, 0) END AS taken
            FROM old_rows o FULL JOIN new_rows n ON n.id = o.id
                 LEFT JOIN claimed c ON c.id = o.id
            WHERE o.id IS NOT NULL
        ), fefo AS (
            SELECT l.lot, l.units, lowered.taken,
                   sum(l.units) OVER (PARTITION BY l.id ORDER BY l.best_before, l.lot) AS upto
            FROM lots l JOIN lowered ON l.id = lowered.id AND lowered.taken > 0
        ), gone AS (
            DELETE FROM lots WHERE lot IN (SELECT lot FROM fefo WHERE upto <= taken)
        )
        UPDATE lots SET units = fefo.upto - fefo.taken FROM fefo
        WHERE lots.lot = fefo.lot AND fefo.upto > fefo.taken
          AND fefo.upto - fefo.units < fefo.taken;
        RETURN NULL;
    END $$;

    CREATE OR REPLACE FUNCTION lots_within_stock() RETURNS trigger
    LANGUAGE plpgsql SECURITY DEFINER AS $$
    DECLARE
        beyond bytea;
        kept bigint;
    BEGIN
        -- Many lots are hashed: the transition table has no statistics,
        -- and a look-up a product costs a delivery note more than a scan.
        -- The function's own setting keeps this one to the function.
        IF (SELECT count(*) > 1000 FROM new_lots) THEN
            SET LOCAL enable_nestloop = off;
        END IF;
        PERFORM FROM stock WHERE id IN (SELECT id FROM new_lots)
            AND xmin <> pg_current_xact_id()::xid FOR NO KEY UPDATE;
        SELECT l.id, coalesce(max(s.amount), 0) INTO beyond, kept
        FROM lots l LEFT JOIN stock s ON s.id = l.id
        WHERE l.id IN (SELECT id FROM new_lots) GROUP BY l.id
        HAVING sum(l.units) > coalesce(max(s.amount), 0) ORDER BY l.id LIMIT 1;
        IF FOUND THEN
            RAISE EXCEPTION 'the dated lots of % hold more units than its stock (%)',
                encode(beyond, 'escape'), kept USING ERRCODE = 'check_violation';
        END IF;
        RETURN NULL;
    END $$;

    -- A change of the catalogue or the lots, noted once a transaction,
    -- but for those the stock's triggers make, whose products the history
    -- names: a product's first record (an insert into the catalogue) and
    -- the lots a decrease takes (an update or delete of lots), from within
    -- a trigger. A trigger of a client's own, on a table of its own, also
    -- runs within one: what none of the stock's triggers does is noted at
    -- any depth.
    CREATE OR REPLACE FUNCTION store_change_noted() RETURNS trigger
    LANGUAGE plpgsql SECURITY DEFINER AS $$
    BEGIN
        IF (pg_trigger_depth() = 1 OR TG_OP = 'TRUNCATE' OR
            (TG_TABLE_NAME = 'lots') = (TG_OP = 'INSERT')) AND NOT EXISTS (
            SELECT FROM store_changes
            WHERE xid = pg_current_xact_id() AND what = CAST(TG_TABLE_NAME AS text)) THEN
            INSERT INTO store_changes (what) VALUES (TG_TABLE_NAME);
        END IF;
        RETURN NULL;
    END $$;

    CREATE OR REPLACE FUNCTION history_reasons(ids bytea[], reasons text[])
    RETURNS void LANGUAGE sql SECURITY DEFINER AS $$
        UPDATE history h SET reason = r.reason
        FROM unnest(ids, reasons) AS r(id, reason)
        WHERE h.xid = pg_current_xact_id() AND h.kind = 'count' AND h.id = r.id
    $$;

    -- Hashed: a count's entries of one transaction are many, and a loop
    -- over them for each reason would take their square.
    ALTER FUNCTION history_reasons(bytea[], text[]) SET enable_nestloop = off;
    ALTER FUNCTION lots_within_stock() SET enable_nestloop = on;
    DO $$ BEGIN
        EXECUTE format('ALTER FUNCTION stock_lots_taken() SET search_path = %I, pg_temp',
                       current_schema());
        EXECUTE format('ALTER FUNCTION history_reasons(bytea[], text[]) SET search_path = %I, pg_temp',
                       current_schema());
        EXECUTE format('ALTER FUNCTION lots_within_stock() SET search_path = %I, pg_temp',
                       current_schema());
        EXECUTE format('ALTER FUNCTION store_change_noted() SET search_path = %I, pg_temp',
                       current_schema());
    END $$;
    REVOKE ALL ON FUNCTION stock_lots_taken(), history_reasons(bytea[], text[]),
        lots_within_stock(), store_change_noted() FROM PUBLIC;

    CREATE OR REPLACE TRIGGER stock_lots_updated AFTER UPDATE ON stock
        REFERENCING OLD TABLE AS old_rows NEW TABLE AS new_rows
        FOR EACH STATEMENT EXECUTE FUNCTION stock_lots_taken();
    CREATE OR REPLACE TRIGGER stock_lots_deleted AFTER DELETE ON stock
        REFERENCING OLD TABLE AS old_rows
        FOR EACH STATEMENT EXECUTE FUNCTION stock_lots_taken();
    CREATE OR REPLACE TRIGGER stock_lots_truncated AFTER TRUNCATE ON stock
        FOR EACH STATEMENT EXECUTE FUNCTION stock_lots_taken();
    CREATE OR REPLACE TRIGGER lots_within_stock AFTER INSERT ON lots
        REFERENCING NEW TABLE AS new_lots
        FOR EACH STATEMENT EXECUTE FUNCTION lots_within_stock();
    CREATE OR REPLACE TRIGGER catalogue_change_noted
        AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON catalogue
        FOR EACH STATEMENT EXECUTE FUNCTION store_change_noted();
    CREATE OR REPLACE TRIGGER lots_change_noted
        AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON lots
        FOR EACH STATEMENT EXECUTE FUNCTION store_change_noted();
)";

// The server keeps the history: every statement that changes the stock, from
// whatever client, gets its entries from the triggers below, which run with
// the rights of the store's owner, so that no clerk needs, or has, the right
// to write the history. An entry's clerk is the server's session user, its
// time the server's clock, and its xid the transaction that made it, which
// is how the runs learn what others committed. What a run alone knows, it
// tells in settings of its own transaction: the commands as echoed
// (warehouse.commands, a JSON array of their bytes in hexadecimal), the
// kind of change each makes (warehouse.kinds, a JSON array of their words,
// in step), the changes each made (warehouse.claimed_*, arrays in step: the
// command's index, the product's id in hexadecimal, its units before and
// after), the command whose changes it did not list one by one
// (warehouse.rest), and the name a clerk gave (warehouse.clerk). A product
// whose claimed changes lead from the units it had to the units it has gets
// an entry for each; any other change gets one entry of its own, with no
// command, as another program's. An entry's kind is that of its command,
// other without one, and other too for a kind only the owner makes
// (emptied, generated, counted) that a login other than the owner's
// claims: the owner's view reads a count as a stock-take. A statement of
// more changes than the history lists is one entry with no product, whose
// units after are 0 when the stock is empty.
const char* const TRIGGERS = R"(
    CREATE INDEX IF NOT EXISTS history_by_xid ON history (xid);
    CREATE INDEX IF NOT EXISTS history_by_command ON history (command_no, seq);

    -- The numbers each transaction took for its flushes of commands, and
    -- how many commands they number, kept where only the store's own
    -- functions write (a setting of the client's would let it number its
    -- entries as another's command); a transaction older than every
    -- running one has no more use for its own.
    CREATE TABLE IF NOT EXISTS history_numbering (
        xid xid8 NOT NULL,
        flush text NOT NULL,
        base bigint NOT NULL,
        commands integer NOT NULL,
        PRIMARY KEY (xid, flush)
    );
    REVOKE ALL ON history_numbering FROM PUBLIC;

    -- How many commands warehouse.commands lists. The runs write it as
    -- ["hex","hex",...], whose elements hold no comma, so the commas are
    -- counted rather than the list parsed, once a flush, when its numbers
    -- are taken: the indexes its claims may use are those numbered, kept
    -- with them, whatever a client writes there later.
    CREATE OR REPLACE FUNCTION history_commands_told() RETURNS integer
    LANGUAGE sql STABLE AS $$
        SELECT CASE WHEN coalesce(s, '') IN ('', '[]') THEN 0
                    ELSE octet_length(s) - octet_length(replace(s, ',', '')) + 1 END
        FROM (SELECT current_setting('warehouse.commands', true) AS s) told
    $$;

    -- The command numbers of this transaction's settings: base for changes
    -- no run claimed, then one for each of its commands, taken once a
    -- transaction and a flush for the commands its first statement tells,
    -- which are counted then alone; commands is how many they number. A
    -- later statement of the flush that tells more gets no more: the
    -- numbers past them may be the next transaction's already. One that
    -- tells fewer numbers a claim past them within its own, as a command
    -- with no echo.
    CREATE OR REPLACE FUNCTION history_numbers(OUT base bigint, OUT commands integer)
    LANGUAGE plpgsql AS $$
    DECLARE
        this_xid xid8 := pg_current_xact_id();
        this_flush text := coalesce(current_setting('warehouse.flush', true), '');
    BEGIN
        SELECT n.base, n.commands INTO base, commands
        FROM history_numbering n WHERE n.xid = this_xid AND n.flush = this_flush;
        IF FOUND THEN
            RETURN;
        END IF;
        -- The numbers are taken and the sequence moved past them under a
        -- lock held for that alone: between another's nextval and setval,
        -- a setval would move the sequence back into the numbers the other
        -- took. The lock is on this table, which no login but the store's
        -- owner may lock (an advisory lock, which any login may take, let
        -- a reader hold up every clerk), in a mode that only another
        -- numbering (or a vacuum of the table) waits for; it goes with the
        -- block, which ends by rolling itself back: the sequence is not
        -- rolled back, and the variables keep what they were given.
        commands := history_commands_told();
        BEGIN
            LOCK TABLE history_numbering IN SHARE UPDATE EXCLUSIVE MODE;
            base := nextval('history_command');
            IF commands > 0 THEN
                PERFORM setval('history_command', base + commands);
            END IF;
            RAISE SQLSTATE 'WHNUM';
        EXCEPTION WHEN SQLSTATE 'WHNUM' THEN
            NULL;
        END;
        DELETE FROM history_numbering
        WHERE xid < pg_snapshot_xmin(pg_current_snapshot());
        INSERT INTO history_numbering VALUES (this_xid, this_flush, base, commands);
    END $$;

    -- Whether the transaction's login may make the kinds only the owner
    -- makes: the owner of the store's tables, or a member of
    -- warehouse_owner, as the runs themselves tell it (the login, not the
    -- role the function runs as). Its callers ask it in a subquery of its
    -- own, which is asked once a statement, and only when an entry is of
    -- such a kind: called for each entry, it cost a G of 54000 products
    -- a fifth more.
    CREATE OR REPLACE FUNCTION history_by_owner() RETURNS boolean
    LANGUAGE sql STABLE AS $$
        SELECT pg_has_role(session_user, (SELECT relowner FROM pg_class
                                          WHERE oid = 'stock'::regclass), 'USAGE')
            OR EXISTS (SELECT FROM pg_roles WHERE rolname = 'warehouse_owner'
                       AND pg_has_role(session_user, oid, 'USAGE'))
    $$;

    -- One statement's changes, checked against what the run claims of
    -- them. Each setting is read once a call, into a variable of its own,
    -- where the planner does not read it again to guess how long its lists
    -- are (it does so for a list unnested straight from a setting). The
    -- list of commands is split once, on the quotes and commas between its
    -- elements, into an array whose elements a subscript finds at once (a
    -- PL/pgSQL variable holds an array expanded): only the commands that
    -- number an entry are trimmed and decoded, where a table of every
    -- command of the round, joined to the entries, cost each of a round's
    -- statements as much again as the round's commands. Its plan is made
    -- once a session and kept, with the lists as parameters: a plan made
    -- for their values would flatten each list into the plan, and a
    -- subscript of a flat array walks the elements before it.
    CREATE OR REPLACE FUNCTION history_record(ids bytea[], befores bigint[],
                                              afters bigint[], others boolean[])
    RETURNS void LANGUAGE plpgsql AS $$
    DECLARE
        told_rest integer := nullif(current_setting('warehouse.rest', true), '')::integer;
        echoes text[] := string_to_array(coalesce(current_setting('warehouse.commands', true), ''), '","');
        kinds text[] := string_to_array(coalesce(current_setting('warehouse.kinds', true), ''), '","');
        claimed_commands integer[] := coalesce(nullif(current_setting('warehouse.claimed_commands', true), ''), '{}')::integer[];
        claimed_ids text[] := coalesce(nullif(current_setting('warehouse.claimed_ids', true), ''), '{}')::text[];
        claimed_befores bigint[] := coalesce(nullif(current_setting('warehouse.claimed_befores', true), ''), '{}')::bigint[];
        claimed_afters bigint[] := coalesce(nullif(current_setting('warehouse.claimed_afters', true), ''), '{}')::bigint[];
        number bigint;
        commands integer;
        rest integer;
    BEGIN
        SELECT n.base, n.commands INTO number, commands
        FROM history_numbers() n;
        -- The commands numbered for the transaction's flush: a claim, or a
        -- rest, of any other index would number its entries as another's
        -- command.
        rest := CASE WHEN told_rest >= 0 AND told_rest < commands THEN told_rest END;
        WITH changed AS MATERIALIZED (
            SELECT * FROM unnest(ids, befores, afters, others) AS c(id, before, after, other)
        ), chained AS (
            -- The claims on the statement's products, each with the row's
            -- units before and after the statement, in the order claimed.
            SELECT claimed.*, lag(claimed.after) OVER w AS previous,
                   lead(claimed.n) OVER w IS NULL AS last
            FROM (SELECT c.command, changed.id, c.before, c.after, c.n,
                         changed.before AS row_before, changed.after AS row_after
                  FROM unnest(claimed_commands, claimed_ids, claimed_befores, claimed_afters)
                           WITH ORDINALITY AS c(command, id, before, after, n)
                       JOIN changed ON changed.id = decode(c.id, 'hex')
                  WHERE c.command >= 0 AND c.command < commands) claimed
            WINDOW w AS (PARTITION BY claimed.id ORDER BY claimed.n)
        ), judged AS MATERIALIZED (
            -- A product's claims stand when they lead, one from the other,
            -- from the units the row had to the units it has.
            SELECT command, id, before, after, n,
                   bool_and(previous IS NULL OR previous = before) OVER p
                   AND bool_or(previous IS NULL AND before = row_before) OVER p
                   AND bool_or(last AND after = row_after) OVER p AS verified
            FROM chained WINDOW p AS (PARTITION BY id)
        ), entries AS (
            SELECT command, id, before, after, n FROM judged WHERE verified
            UNION ALL
            SELECT rest, id, before, after, NULL
            FROM changed
            WHERE (before <> after OR other)
              AND NOT EXISTS (SELECT FROM judged WHERE judged.id = changed.id AND verified)
        ), echoed AS (
            SELECT entries.*, nullif(btrim(echoes[entries.command + 1], '[]"'), 'null') AS echo,
                   btrim(kinds[entries.command + 1], '[]"') AS kind
            FROM entries
        )
        INSERT INTO history (command_no, changed_at, clerk, command, id,
                             amount_before, amount_after, named_clerk, xid, kind)
        SELECT number + coalesce(command, -1) + 1, statement_timestamp(), session_user,
               decode(echo, 'hex'), id, before, after,
               nullif(current_setting('warehouse.clerk', true), ''), pg_current_xact_id(),
               coalesce(CASE WHEN echo IS NOT NULL AND
                                  (kind NOT IN (@OWNERS_KINDS@) OR (SELECT history_by_owner()))
                             THEN kind END, 'other')
        FROM echoed
        ORDER BY coalesce(command, -1), n, id;
    END $$;

    CREATE OR REPLACE FUNCTION history_record_many() RETURNS void
    LANGUAGE sql AS $$
        WITH base AS (
            SELECT n.base AS number, n.commands,
                   nullif(current_setting('warehouse.rest', true), '')::integer AS rest
            FROM history_numbers() n
        ), own AS (
            -- Only one of the transaction's own commands numbers the entry.
            SELECT base.*, CASE WHEN rest >= 0 AND rest < commands THEN rest END AS command
            FROM base
        ), echoed AS (
            SELECT own.*, nullif(btrim(split_part(coalesce(current_setting(
                       'warehouse.commands', true), ''), '","', command + 1), '[]"'), 'null') AS echo,
                   btrim(split_part(coalesce(current_setting('warehouse.kinds', true), ''),
                                    '","', command + 1), '[]"') AS kind
            FROM own
        )
        INSERT INTO history (command_no, changed_at, clerk, command, id,
                             amount_before, amount_after, named_clerk, xid, kind)
        SELECT number + coalesce(command, -1) + 1, statement_timestamp(), session_user,
               decode(echo, 'hex'), NULL, NULL,
               CASE WHEN NOT EXISTS (SELECT FROM stock) THEN 0 END,
               nullif(current_setting('warehouse.clerk', true), ''), pg_current_xact_id(),
               coalesce(CASE WHEN echo IS NOT NULL AND
                                  (kind NOT IN (@OWNERS_KINDS@) OR (SELECT history_by_owner()))
                             THEN kind END, 'other')
        FROM echoed
    $$;

    CREATE OR REPLACE FUNCTION stock_changes_recorded() RETURNS trigger
    LANGUAGE plpgsql SECURITY DEFINER AS $$
    DECLARE
        changed bigint;
    BEGIN
        IF TG_OP = 'TRUNCATE' THEN
            PERFORM history_record_many();
            RETURN NULL;
        ELSIF TG_OP = 'DELETE' THEN
            SELECT count(*) INTO changed FROM old_rows;
        ELSE
            SELECT count(*) INTO changed FROM new_rows;
        END IF;
        IF TG_OP = 'INSERT' AND changed > 0 THEN
            -- A product's first delivery makes its record; a later one
            -- leaves it as it is.
            INSERT INTO catalogue (id, name, shelf)
            SELECT id, name, shelf FROM new_rows ON CONFLICT DO NOTHING;
        END IF;
        IF changed > @MOST_ENTRIES@ THEN
            PERFORM history_record_many();
        ELSIF changed = 0 THEN
            NULL;
        ELSIF TG_OP = 'INSERT' THEN
            PERFORM history_record(array_agg(id), array_agg(0::bigint),
                                   array_agg(amount), array_agg(false))
            FROM new_rows;
        ELSIF TG_OP = 'DELETE' THEN
            PERFORM history_record(array_agg(id), array_agg(amount),
                                   array_agg(0::bigint), array_agg(false))
            FROM old_rows;
        ELSE
            -- An update may change a product's id: the old one goes, the
            -- new one comes.
            PERFORM history_record(
                array_agg(coalesce(n.id, o.id)), array_agg(coalesce(o.amount, 0)),
                array_agg(coalesce(n.amount, 0)),
                array_agg(o.id IS NOT NULL AND n.id IS NOT NULL AND
                          (o.shelf, o.name) IS DISTINCT FROM (n.shelf, n.name)))
            FROM old_rows o FULL JOIN new_rows n ON n.id = o.id;
        END IF;
        RETURN NULL;
    END $$;

    ALTER FUNCTION history_record(bytea[], bigint[], bigint[], boolean[])
        SET work_mem = '64MB';
    ALTER FUNCTION history_record(bytea[], bigint[], bigint[], boolean[])
        SET plan_cache_mode = force_generic_plan;
    -- Only the store's own objects are found, never a temporary table that a
    -- client made to stand in for one.
    DO $$ BEGIN
        EXECUTE format('ALTER FUNCTION stock_changes_recorded() SET search_path = %I, pg_temp',
                       current_schema());
    END $$;
    REVOKE ALL ON FUNCTION history_commands_told(), history_numbers(),
        history_by_owner(),
        history_record(bytea[], bigint[], bigint[], boolean[]),
        history_record_many(), stock_changes_recorded() FROM PUBLIC;

    CREATE OR REPLACE TRIGGER stock_inserted AFTER INSERT ON stock
        REFERENCING NEW TABLE AS new_rows
        FOR EACH STATEMENT EXECUTE FUNCTION stock_changes_recorded();
    CREATE OR REPLACE TRIGGER stock_updated AFTER UPDATE ON stock
        REFERENCING OLD TABLE AS old_rows NEW TABLE AS new_rows
        FOR EACH STATEMENT EXECUTE FUNCTION stock_changes_recorded();
    CREATE OR REPLACE TRIGGER stock_deleted AFTER DELETE ON stock
        REFERENCING OLD TABLE AS old_rows
        FOR EACH STATEMENT EXECUTE FUNCTION stock_changes_recorded();
    CREATE OR REPLACE TRIGGER stock_truncated AFTER TRUNCATE ON stock
        FOR EACH STATEMENT EXECUTE FUNCTION stock_changes_recorded();
)";

}  // namespace postgres_schema
