// The catalogue as the owner keeps it in a spreadsheet: CSV cells, the file
// written from the records, and a file read back, checked whole, and made
// into the changes it asks for.
#ifndef WAREHOUSE_STORE_CATALOGUE_FILE_HH
#define WAREHOUSE_STORE_CATALOGUE_FILE_HH

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

/// A product's record in the catalogue. Prices are whole cents; a field
/// with no value is not known.
struct CatalogueRecord {
    std::string id;
    std::string name;
    std::string shelf;
    std::optional<std::int64_t> price;  // sale price of a unit
    std::optional<std::int64_t> cost;   // purchase price of a unit
    std::optional<std::int64_t> reorderLevel;
    bool discontinued = false;
};

/// The fields a file may hold besides the id, in the order a written file
/// has them; their words are the file's column names and the history's.
enum class CatalogueField { Name, Shelf, Price, Cost, ReorderLevel, Discontinued };
constexpr std::size_t CATALOGUE_FIELDS = 6;
std::string_view fieldWord(CatalogueField field);

/// One line of a header: "id,name,shelf,price,cost,reorder_level,discontinued".
extern const char* const CATALOGUE_HEADER;

/// A cell as CSV writes it: quoted, its quotes doubled, when it holds a
/// comma, a quote or a line break, or starts or ends with a space.
std::string csvCell(std::string_view text);

/// A text as a file writes it: one apostrophe more in front of what a
/// spreadsheet would run, so that opening the file runs nothing.
std::string inertText(std::string_view text);

/// A text cell as the file meant it: the apostrophe inertText adds taken
/// off again, so that a file written and read back changes nothing.
std::string meantText(const std::string& cell);

/// The whole file of records: the header, then a line for each.
std::string catalogueCsv(const std::vector<CatalogueRecord>& records);

/// A line of a CSV file: its cells, and the line of the file it starts on.
struct CsvLine {
    std::size_t line = 0;
    std::vector<std::string> cells;
};

/// Splits CSV text into its lines' cells; empty lines are passed over.
/// False, with the line and its reason in problem, for text that is no CSV.
bool splitCsv(std::string_view text, std::vector<CsvLine>& lines,
              std::string& problem);

/// A file read back: which fields it holds, and for each of its lines the
/// values of those fields.
struct CatalogueFile {
    bool holds[CATALOGUE_FIELDS] = {};
    struct Row {
        std::size_t line;
        CatalogueRecord values;
    };
    std::vector<Row> rows;
    /// Every line refused, as "line N: why"; empty when the file is good.
    std::vector<std::string> problems;
};

/// What every file taken in (a catalogue, a count sheet, a delivery note)
/// may bring in as a product's id, name or shelf that the store does not
/// hold already. An id is one word, as the console reads one; a name or a
/// shelf holds no line break, which no stock file and no console line
/// could hold (nor a ';' in an id or shelf, where a stock file's fields
/// end), and a shelf may hold spaces, as a stock file's does. What a
/// store holds already is taken back as it is, whatever put it there (a
/// stock file's id of two words, a name another program gave a line
/// break): a file that repeats it changes nothing, so that every file the
/// program writes reads back. badNewId and badNewText say why text could
/// not be a new one (what: "name" or "shelf"), or give empty when it could.
std::string badNewId(const std::string& id);
std::string badNewText(const std::string& text, std::string_view what);

/// Reads a file of a header naming an id column and any of the fields, in
/// any order, and a line for each record to change or add, checked against
/// records, the catalogue as it is (sorted by id): an id it lacks, and a
/// name or shelf that would change, must be one a file may bring in, and a
/// name or shelf a record has is never emptied.
CatalogueFile readCatalogueFile(std::string_view text,
                                const std::vector<CatalogueRecord>& records = {});

/// The lines of a file read whole that records, as they are now (sorted by
/// id), would not take, as "line N: why": the catalogue may have changed
/// since the file was read against it.
std::vector<std::string> refusedChanges(const CatalogueFile& file,
                                        const std::vector<CatalogueRecord>& records);

/// A change of one field of a record, as the catalogue's changes keep it:
/// before and after as the file writes them, none for a value not known
/// (and before for a record the change adds).
struct FieldChange {
    std::string id;
    CatalogueField field;
    std::optional<std::string> before;
    std::optional<std::string> after;
};

/// Applies the file to records (sorted by id, and kept so): the fields it
/// holds change, and an id the records lack adds one. Gives each field
/// that changed; changed lists the records changed or added.
std::vector<FieldChange> applyCatalogueFile(const CatalogueFile& file,
                                            std::vector<CatalogueRecord>& records,
                                            std::vector<std::string>& changed);

/// The ids of the records whose field (a name, a shelf) changes changed:
/// the products the stock renames so, and only so. A record whose file
/// held no name keeps its stock's name, however the two came to differ.
std::unordered_set<std::string> idsChanging(const std::vector<FieldChange>& changes,
                                            CatalogueField field);

#endif
