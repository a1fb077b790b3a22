// The files of stock-taking and dated deliveries: a count sheet, blank or
// filled in, and a delivery note, each read back checked whole.
#ifndef WAREHOUSE_STORE_STOCK_TAKE_FILE_HH
#define WAREHOUSE_STORE_STOCK_TAKE_FILE_HH

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// Whether the stock holds the product of id, with its shelf and name.
using HeldProduct =
    std::function<bool(const std::string& id, std::string& shelf, std::string& name)>;

/// The header of a blank count sheet: "id,name,shelf,expected,counted,reason".
extern const char* const COUNT_SHEET_HEADER;

/// A product as a blank sheet lists it.
struct SheetProduct {
    std::string id;
    std::string name;
    std::string shelf;
    std::uint32_t expected;  // the units the records hold
};

/// A blank sheet of products: the header, then a line each, sorted by
/// shelf (then id), counted and reason left empty.
std::string countSheetCsv(std::vector<SheetProduct> products);

/// A filled-in count sheet: each counted product, the units counted and
/// the reason given for a difference (empty: none); with the name and shelf
/// the sheet gives, for a product the records lack.
struct CountSheet {
    struct Row {
        std::size_t line;
        std::string id;
        std::uint32_t counted;
        std::string reason;
        std::string name;   // empty: the sheet names none
        std::string shelf;  // empty: the sheet gives none
    };
    std::vector<Row> rows;
    /// Every line refused, as "line N: why"; empty when the sheet is good.
    std::vector<std::string> problems;
};

/// Reads a sheet whose header names at least id and counted, in any order,
/// and may name name, shelf, expected and reason too (expected is not
/// read: the records say what was expected when the count is taken). A
/// line whose counted and reason are both empty was not counted, and is
/// passed over. An id, shelf or name that held says the stock holds is
/// taken as it is; one it does not must be one a file may bring in
/// (badNewId, badNewText), so that a sheet written of any stock reads back.
CountSheet readCountSheet(std::string_view text, const HeldProduct& held = {});

/// A delivery note: each line's units, with their best-before date or
/// none, and the shelf and name of a product new to the stock.
struct DeliveryNote {
    struct Row {
        std::size_t line;
        std::string id;
        std::uint32_t amount;
        std::string bestBefore;  // YYYY-MM-DD; empty: undated
        std::string shelf;
        std::string name;
    };
    std::vector<Row> rows;
    std::vector<std::string> problems;
};

/// Reads a note of the header id,amount,best_before,shelf,name (in any
/// order; best_before, shelf and name may be left out), whose ids, shelves
/// and names are checked as a count sheet's.
DeliveryNote readDeliveryNote(std::string_view text, const HeldProduct& held = {});

/// Whether text is a date of the calendar written YYYY-MM-DD.
bool isCalendarDate(std::string_view text);

#endif
