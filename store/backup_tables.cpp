// The list of the tables a backup carries.
#include "store/backup_tables.hh"

const std::vector<BackupTable>& backupTables()
{
    // The catalogue comes before the stock: a restore with its triggers on
    // would otherwise find the records the stock's first rows made.
    static const std::vector<BackupTable> tables = {
        {"catalogue",
         "id",
         {{"id", Carried::Bytes},
          {"name", Carried::Bytes},
          {"shelf", Carried::Bytes},
          {"price_cents", Carried::Number},
          {"cost_cents", Carried::Number},
          {"reorder_level", Carried::Number},
          {"discontinued", Carried::Flag}},
         {}},
        {"catalogue_changes",
         "seq",
         {{"seq", Carried::Number},
          {"changed_at", Carried::Time},
          {"clerk", Carried::Text},
          {"named_clerk", Carried::Text},
          {"id", Carried::Bytes},
          {"field", Carried::Text},
          {"before", Carried::Bytes},
          {"after", Carried::Bytes}},
         {{"pg_get_serial_sequence('catalogue_changes', 'seq')", "seq"}}},
        {"stock",
         "id",
         {{"id", Carried::Bytes},
          {"amount", Carried::Number},
          {"shelf", Carried::Bytes},
          {"name", Carried::Bytes}},
         {}},
        {"history",
         "seq",
         {{"seq", Carried::Number},
          {"command_no", Carried::Number},
          {"changed_at", Carried::Time},
          {"clerk", Carried::Text},
          {"command", Carried::Bytes},
          {"id", Carried::Bytes},
          {"amount_before", Carried::Number},
          {"amount_after", Carried::Number},
          {"named_clerk", Carried::Text},
          {"kind", Carried::Text},
          {"reason", Carried::Text},
          {"xid", Carried::Xid}},
         {{"pg_get_serial_sequence('history', 'seq')", "seq"},
          {"'history_command'", "command_no"}}},
        {"lots",
         "lot",
         {{"lot", Carried::Number},
          {"id", Carried::Bytes},
          {"best_before", Carried::Date},
          {"units", Carried::Number},
          {"received_at", Carried::Time},
          {"clerk", Carried::Text},
          {"named_clerk", Carried::Text}},
         {{"pg_get_serial_sequence('lots', 'lot')", "lot"}}},
    };
    return tables;
}

bool keptInSqlite(const BackupColumn& column)
{
    return column.as != Carried::Xid;
}
