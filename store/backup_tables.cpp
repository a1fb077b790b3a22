// The list of the tables a backup carries.
#include "store/backup_tables.hh"

const std::vector<BackupTable>& backupTables()
{
    static const std::vector<BackupTable> tables = {
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
          {"xid", Carried::Xid}},
         {{"pg_get_serial_sequence('history', 'seq')", "seq"},
          {"'history_command'", "command_no"}}},
    };
    return tables;
}

bool keptInSqlite(const BackupColumn& column)
{
    return column.as != Carried::Xid;
}
