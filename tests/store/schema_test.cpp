// Unit tests of what the console's stores and the owner's view share: who
// made an entry, the steps that bring a store up to date, the shapes a
// PostgreSQL store may have, and the reader of a binary COPY.
#include "store/history_entry.hh"
#include "store/sqlite/sqlite_schema.hh"
#ifdef WAREHOUSE_POSTGRESQL
#include "store/postgres/postgres_schema.hh"
#include "store/postgres/postgres_wire.hh"
#endif

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

struct Who {
    std::optional<std::string> clerk;
    std::optional<std::string> named;
    std::optional<std::string> command;
    const char* shown;
};

TEST(Who, NamesTheLoginAfterTheNameGivenAndAnotherProgramAsSuch)
{
    const Who cases[] = {
        {"maija", std::nullopt, "D GUM 2", "maija"},
        {"shop", "maija", "A GUM s 1 n", "maija (shop)"},
        {"shop", "shop", "D GUM 9", "shop"},  // the same name once
        {"shop", "", "D GUM 9", "shop"},      // an empty name is none
        {std::nullopt, std::nullopt, std::nullopt, "(another program)"},
        {"pekka", std::nullopt, std::nullopt, "pekka (another program)"},
        {"pekka", "maija", std::nullopt, "pekka (another program)"},
    };
    for (const Who& c : cases) {
        HistoryEntry entry;
        entry.clerk = c.clerk;
        entry.namedClerk = c.named;
        entry.command = c.command;
        EXPECT_EQ(who(entry), c.shown) << c.shown;
    }
}

/// Checks that steps take a store from version first - 1 to last, one
/// version each, in order, but for the version none, which no store was
/// ever made at (0 when there is none such).
void expectEveryVersionOnce(const std::vector<SchemaStep>& steps, int first,
                            int last, int none = 0)
{
    const bool skipped = none >= first && none <= last;
    ASSERT_EQ(steps.size(), static_cast<std::size_t>(last - first + 1 - skipped));
    int expected = first;
    for (const SchemaStep& step : steps) {
        expected += expected == none;
        EXPECT_EQ(step.version, expected);
        EXPECT_FALSE(step.sql.empty()) << "step " << step.version;
        ++expected;
    }
}

TEST(SchemaSteps, SqliteStepsTakeTheFirstVersionToThisOneInOrder)
{
    // Version 10 is no SQLite store's: its steps go from 9 to 11.
    expectEveryVersionOnce(sqlite_schema::steps(), 2,
                           static_cast<int>(sqlite_schema::VERSION), 10);
    EXPECT_LE(sqlite_schema::OLDEST_VIEWED, sqlite_schema::VERSION);
}

#ifdef WAREHOUSE_POSTGRESQL
TEST(SchemaSteps, PostgresStepsTakeTheFirstVersionToThisOneInOrder)
{
    expectEveryVersionOnce(postgres_schema::steps(), 3,
                           postgres_schema::VERSION);
    EXPECT_LE(postgres_schema::OLDEST_USED, postgres_schema::OLDEST_VIEWED);
    EXPECT_LE(postgres_schema::OLDEST_VIEWED, postgres_schema::VERSION);
}

TEST(PostgresShapes, AStoreIsRefusedWhenItsTablesAreBehindItsVersion)
{
    using postgres_schema::refusal;
    using postgres_schema::VERSION;
    const std::vector<std::string>& shapes = postgres_schema::shapesUsed();
    ASSERT_EQ(shapes.size(), 3u);  // version 3's, 5's, and this one's
    const std::string& older = shapes.front();
    const std::string& kinds = shapes[1];
    const std::string& current = shapes.back();
    // Version 5 brought the kinds' shape; 6 added tables the shape leaves
    // out, 7 changed only functions, 10 the history's reasons, and 11 only
    // indexes.
    constexpr int OLDER_SHAPES_LAST = 4;
    constexpr int KINDS_SHAPE_LAST = 9;
    EXPECT_EQ(refusal(KINDS_SHAPE_LAST, kinds), nullptr);
    EXPECT_STREQ(refusal(KINDS_SHAPE_LAST + 1, kinds), "not a store");
    EXPECT_STREQ(refusal(VERSION, kinds), "not a store");
    EXPECT_EQ(refusal(VERSION, current), nullptr);
    EXPECT_EQ(refusal(OLDER_SHAPES_LAST, older), nullptr);
    EXPECT_EQ(refusal(postgres_schema::OLDEST_USED, older), nullptr);
    EXPECT_EQ(refusal(OLDER_SHAPES_LAST, current), nullptr);  // ahead of its mark
    EXPECT_EQ(refusal(VERSION - 1, current), nullptr);
    EXPECT_STREQ(refusal(VERSION - 1, older), "not a store");
    EXPECT_STREQ(refusal(VERSION, older), "not a store");
    EXPECT_STREQ(refusal(0, current), "not a store");
    EXPECT_STREQ(refusal(VERSION + 1, current),
                 "a store of a newer version of this program");
    EXPECT_STREQ(refusal(VERSION + 1, "a shape to come|"),
                 "a store of a newer version of this program");
    EXPECT_STREQ(refusal(VERSION, "stock x integer|"),
                 "its tables stock, history or store_version have another "
                 "shape: not a store");
    EXPECT_NE(refusal(0, ""), nullptr);
    EXPECT_TRUE(postgres_schema::knownShape(older));
    EXPECT_FALSE(postgres_schema::knownShape(""));
}

// A COPY in binary, made by hand.
using Row = std::vector<std::optional<std::string>>;

std::string copyHeader(const std::string& extension)
{
    std::string bytes("PGCOPY\n\377\r\n\0", 11);
    appendBigEndian32(bytes, 0);  // flags
    appendBigEndian32(bytes, static_cast<std::uint32_t>(extension.size()));
    return bytes + extension;
}

std::string copyRow(const Row& row)
{
    std::string bytes;
    appendBigEndian16(bytes, static_cast<std::uint16_t>(row.size()));
    for (const std::optional<std::string>& field : row) {
        appendBigEndian32(bytes, field
                                     ? static_cast<std::uint32_t>(field->size())
                                     : 0xFFFFFFFF);
        bytes += field.value_or("");
    }
    return bytes;
}

std::string copyTrailer()
{
    std::string bytes;
    appendBigEndian16(bytes, 0xFFFF);
    return bytes;
}

/// What a reader makes of stream, handed to it in pieces of size bytes: the
/// rows it read, and what it found last.
struct Read {
    std::vector<Row> rows;
    CopyReader::Found last = CopyReader::Found::More;
};

Read readInPieces(const std::string& stream, std::size_t size)
{
    CopyReader reader;
    Read read;
    std::vector<std::string_view> fields;
    std::vector<bool> null;
    for (std::size_t at = 0; at < stream.size(); at += size) {
        reader.add(std::string_view(stream).substr(at, size));
        while ((read.last = reader.next(fields, null)) ==
               CopyReader::Found::Row) {
            Row row;
            for (std::size_t i = 0; i < fields.size(); ++i) {
                row.push_back(null[i] ? std::nullopt
                                      : std::optional<std::string>(fields[i]));
            }
            read.rows.push_back(row);
        }
        if (read.last == CopyReader::Found::Broken) {
            break;
        }
    }
    return read;
}

const std::vector<Row> ROWS = {
    {std::string("GUM:1"), std::nullopt, std::string(""),
     std::string("\0\xff", 2)},
    {},  // a row of no fields
    {std::nullopt},
    {std::string(300, 'x')},
};

std::string wholeCopy(const std::string& extension)
{
    std::string stream = copyHeader(extension);
    for (const Row& row : ROWS) {
        stream += copyRow(row);
    }
    return stream + copyTrailer();
}

TEST(CopyReader, ReadsEveryRowHoweverTheBytesAreCut)
{
    for (const std::string extension : {"", "an extension"}) {
        const std::string stream = wholeCopy(extension);
        for (std::size_t size = 1; size <= stream.size(); ++size) {
            const Read read = readInPieces(stream, size);
            EXPECT_EQ(read.rows, ROWS) << "pieces of " << size;
            EXPECT_EQ(read.last, CopyReader::Found::End)
                << "pieces of " << size;
        }
    }
}

TEST(CopyReader, ACopyCutShortIsNeverWhole)
{
    const std::string stream = wholeCopy("ext");
    for (std::size_t length = 0; length < stream.size(); ++length) {
        const Read read = readInPieces(stream.substr(0, length), 7);
        EXPECT_EQ(read.last, CopyReader::Found::More) << length << " bytes";
        ASSERT_LE(read.rows.size(), ROWS.size());
        EXPECT_EQ(read.rows,
                  std::vector<Row>(ROWS.begin(),
                                   ROWS.begin() + static_cast<std::ptrdiff_t>(
                                                      read.rows.size())));
    }
}

TEST(CopyReader, RefusesWhatIsNoCopyInBinary)
{
    std::string negativeLength;
    appendBigEndian16(negativeLength, 1);
    appendBigEndian32(negativeLength, 0xFFFFFFFE);  // -2
    std::string negativeCount;
    appendBigEndian16(negativeCount, 0xFFFE);  // -2
    const std::string cases[] = {
        "PGCOPY\n\377\r\n\1" + copyHeader("").substr(11),  // a wrong signature
        copyHeader("") + negativeLength, copyHeader("") + negativeCount,
        copyHeader("") + copyTrailer() + "x",  // something after the end
    };
    for (const std::string& stream : cases) {
        EXPECT_EQ(readInPieces(stream, stream.size()).last,
                  CopyReader::Found::Broken);
    }
}
#endif

}  // namespace
