// Functions of main.cpp that the tests and fuzz targets drive; they link
// main.cpp built with WAREHOUSE_NO_MAIN, which leaves out its main().
#ifndef WAREHOUSE_TESTS_MAIN_FUNCTIONS_HH
#define WAREHOUSE_TESTS_MAIN_FUNCTIONS_HH

#include "datastructure.hh"

#include <cstdint>
#include <istream>
#include <string>

// The same definition as in main.cpp.
struct MemoryPeak {
    std::uint64_t value;
    std::string unit;
};

MemoryPeak mempeak();
void drawGeneratedId(std::string& id);
void generate(Datastructure& table, std::uint32_t n);
void runConsole(std::istream& in, Datastructure& table, std::uint64_t baseline,
                bool inputPrompts = false);
bool readStockLines(std::istream& stock, Datastructure& table);
bool readWord(std::istream& in, std::string& word);
void readRestOfLine(std::istream& in, std::string& line);
void skipCharacter(std::istream& in);

#endif
