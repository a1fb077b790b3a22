// Unit tests of the console's command table: the rules every row must keep,
// which a new command could break, and what help, dispatch and completion
// make of the table.
#include "console/command_table.hh"
#include "datastructure.hh"
#ifdef WAREHOUSE_LINE_EDITING
#include "console/terminal_input.hh"
#endif

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

TEST(CommandTable, ACommandThatChangesTheStockSaysWhatKindOfChangeItMakes)
{
    // The history files each change by its kind: a changing command with
    // none would be recorded as another program's.
    for (const Command& command : commandTable()) {
        const bool changes = command.access == Store::Access::Changes;
        EXPECT_EQ(changes, command.changes != ChangeKind::Other) << command.word;
    }
}

TEST(CommandTable, EachWordNamesOneCommandAndEachFormStartsWithItsWord)
{
    std::set<std::string_view> words;
    for (const Command& command : commandTable()) {
        EXPECT_TRUE(words.insert(command.word).second) << command.word;
        if (!command.alias.empty()) {
            EXPECT_TRUE(words.insert(command.alias).second) << command.alias;
        }
        if (!command.form.empty()) {
            EXPECT_EQ(command.form.substr(0, command.word.size()), command.word);
            EXPECT_TRUE(command.form.size() == command.word.size() ||
                        command.form[command.word.size()] == ' ')
                << command.form;
        }
        // Only the commands that quit have nothing to run.
        EXPECT_EQ(command.run == nullptr, command.quits) << command.word;
        // A store-dependent command says something when the store is not
        // as it needs.
        EXPECT_EQ(command.store == StoreUse::Either, command.storeLine.empty())
            << command.word;
    }
}

TEST(CommandTable, WordsAClerkHasAreNoCommandsInAScript)
{
    for (const char* word : {"help", "?", "quit", "exit"}) {
        EXPECT_EQ(findCommand(word, false), nullptr) << word;
        ASSERT_NE(findCommand(word, true), nullptr) << word;
    }
    EXPECT_EQ(findCommand("?", true), findCommand("help", true));
    EXPECT_EQ(findCommand("exit", true), findCommand("quit", true));
    EXPECT_TRUE(findCommand("exit", true)->quits);
    // Commands are matched exactly: case and all.
    EXPECT_EQ(findCommand("a", true), nullptr);
    EXPECT_EQ(findCommand("AA", true), nullptr);
    EXPECT_EQ(findCommand("", true), nullptr);
    EXPECT_EQ(commandWords(), "A D F C E R W G P H L Q");
}

TEST(CommandTable, HelpListsEveryCommandWithItsTextInOneColumn)
{
    const std::vector<std::string> script = commandHelpLines(false);
    const std::vector<std::string> clerk = commandHelpLines(true);
    // A clerk's help is the script's, then the clerk's own words and keys.
    ASSERT_GT(clerk.size(), script.size());
    EXPECT_TRUE(std::equal(script.begin(), script.end(), clerk.begin()));
    EXPECT_EQ(script.front(),
              "A id shelf amount name   add units; the name is the rest of the line");
    EXPECT_EQ(script.back(), "Q                        quit");
    EXPECT_EQ(clerk[script.size()], "quit, exit               Q");
    EXPECT_EQ(clerk[script.size() + 1], "help, ?                  this list");
    // Every help text starts in the same column, after two blanks at least.
    for (const std::string& line : clerk) {
        ASSERT_GT(line.size(), 25u) << line;
        EXPECT_EQ(line.substr(23, 2), "  ") << line;
        EXPECT_NE(line[25], ' ') << line;
    }
}

#ifdef WAREHOUSE_LINE_EDITING
TEST(CommandTable, TabCompletesWhatTheCommandTakes)
{
    auto table = std::make_unique<Datastructure>();
    table->add("GUM:1", "s", 1, "n");
    table->add("GUM:2", "s", 1, "n");
    table->add("SUK:1", "s", 1, "n");
    char folder[] = "/tmp/completion_XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/stock.txt";
    ASSERT_EQ(std::system(("touch " + file).c_str()), 0);
    const std::vector<std::string> gums{"GUM:1", "GUM:2"};
    const struct {
        std::string line;
        std::vector<std::string> completions;
    } cases[] = {
        {"F GU", gums},
        {"D GU", gums},
        {"A GU", gums},
        {"F S", {"SUK:1"}},
        {"F X", {}},
        {"C GU", {}},           // takes no argument
        {"help GU", {}},        // nor does help
        {"F GUM:1 GU", {}},     // only the first argument
        {"R " + std::string(folder) + "/st", {file}},
        {"W " + std::string(folder) + "/st", {file}},
        {"F " + std::string(folder) + "/st", {}},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(completionsFor(test.line, *table), test.completions)
            << test.line;
    }
    std::remove(file.c_str());
    ::rmdir(folder);
}
#endif

}  // namespace
