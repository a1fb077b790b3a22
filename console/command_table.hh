// The console's commands, a row each: the word that names it, its form, what
// help says of it, what it needs of a store, what kind of change it makes,
// what Tab completes after it, and what runs it. Dispatch, help, --help,
// completion, the history's kinds and the store's permissions all read this
// table; no other list of the commands exists.
#ifndef WAREHOUSE_CONSOLE_COMMAND_TABLE_HH
#define WAREHOUSE_CONSOLE_COMMAND_TABLE_HH

#include "store/change_kind.hh"
#include "store/store.hh"

#include <string>
#include <string_view>
#include <vector>

class Session;

/// What Tab completes as a command's first argument.
enum class Completion { Nothing, ProductIds, FileNames };

/// What a command makes of a store: it runs with one or without; it needs
/// one (H), and says so without; it is not run on one (P), and says so; or
/// on one it runs for the store's owner alone (E, G), and says so to
/// anyone else.
enum class StoreUse { Either, Needed, Refused, OwnerOnly };

struct Command {
    std::string_view word;   // as typed, matched exactly
    std::string_view alias;  // a second word for it; empty: none
    std::string_view form;   // its arguments as replies and help show them;
                             // empty: replies show the word typed
    std::string_view help;   // what help says it does
    Store::Access access;    // what it needs of a store
    StoreUse store;
    std::string_view storeLine;  // what it says, when echoed, to a run
                                 // without the store it needs, or with one
                                 // it is not run on
    ChangeKind changes;      // what the history calls its changes
    Completion completes;
    bool clerkOnly;          // a word a clerk has at a terminal; in a
                             // script it is no command
    bool quits;              // ends the run, as Q does
    void (Session::*run)();  // reads its arguments, starts and runs it;
                             // null for the commands that quit
};

/// Every command, in the order help lists them.
const std::vector<Command>& commandTable();

/// The command that word names, or null; the words only a clerk has count
/// only when clerkWords is set.
const Command* findCommand(std::string_view word, bool clerkWords);

/// The table as help shows it: a line for each command, its form padded to
/// one column, then what it does; with clerkWords, also the words a clerk
/// has at a terminal and the keys that go with them.
std::vector<std::string> commandHelpLines(bool clerkWords);

/// The words of the commands every run has, in the table's order, a space
/// between: what a clerk who typed an unknown word is reminded of.
std::string commandWords();

#endif
