// What the store and the owner's view send to a PostgreSQL server and read
// back: handles that free themselves, and the server's binary forms of
// numbers, arrays and the rows of a COPY.
#ifndef WAREHOUSE_POSTGRES_WIRE_HH
#define WAREHOUSE_POSTGRES_WIRE_HH

#include "store/postgres/postgres_library.hh"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ClearResult {
    void operator()(PGresult* result) const { pq::PQclear(result); }
};
struct FinishConnection {
    void operator()(PGconn* connection) const { pq::PQfinish(connection); }
};
using Result = std::unique_ptr<PGresult, ClearResult>;
using Connection = std::unique_ptr<PGconn, FinishConnection>;

// The types the store sends and receives, by their server object ids.
constexpr Oid INT8 = 20;
constexpr Oid BYTEA = 17;
constexpr Oid TEXT = 25;
constexpr Oid INT8_ARRAY = 1016;
constexpr Oid BYTEA_ARRAY = 1001;

/// The server's words, on one line: libpq's messages may run over several.
std::string oneLine(const char* message);

/// True for a result that tells of no error.
bool succeeded(const PGresult* result);

// SQLSTATEs the store tells apart.
constexpr const char* LOCK_NOT_AVAILABLE = "55P03";
constexpr const char* INSUFFICIENT_PRIVILEGE = "42501";

/// True when result failed with that SQLSTATE.
bool stateIs(const PGresult* result, const char* state);

std::uint64_t bigEndian64(const char* bytes);
std::uint32_t bigEndian32(const char* bytes);
void appendBigEndian16(std::string& to, std::uint16_t value);
void appendBigEndian32(std::string& to, std::uint32_t value);
void appendBigEndian64(std::string& to, std::uint64_t value);

/// bytes in hexadecimal, two lower-case digits a byte: how the history's
/// settings take an echo or an id.
void appendHex(std::string& to, std::string_view bytes);
/// bytes as an SQL literal of type bytea, whatever they hold.
std::string byteaLiteral(std::string_view bytes);

/// A field of a binary result as bytes.
std::string_view field(const PGresult* result, int row, int column);
/// A binary bigint field.
std::int64_t int8Field(const PGresult* result, int row, int column);
/// A whole number in binary, of 8, 4 or 2 bytes; 0 for any other length.
std::int64_t wholeNumber(std::string_view field);
/// A field's bytes, or none when it is null.
std::optional<std::string> optionalField(const PGresult* result, int row,
                                         int column);

/// An amount in binary, as a result or a COPY gives it: false when it is
/// not a whole number of units the table can hold.
bool readAmount(std::string_view field, std::uint32_t& amount);

/// A one-dimensional array parameter in the server's binary form: its
/// elements are sent as they are, with no quoting or escaping.
class ArrayParameter {
public:
    explicit ArrayParameter(Oid elementType) : elementType(elementType) {}

    void add(std::string_view bytes);
    void add(std::int64_t number);
    std::size_t size() const { return count; }

    /// The whole parameter: the header, then the elements.
    const std::string& bytes();

private:
    Oid elementType;
    std::string elements;
    std::string whole;
    std::size_t count = 0;
};

/// The rows of a COPY in the server's binary form, read from its bytes
/// however they are cut as they come in: a header (a signature, flags, and
/// an extension area of the length it gives), the rows (a count of fields,
/// then each field's length and bytes, -1 for null), and a trailer (a count
/// of -1), after which nothing may come.
class CopyReader {
public:
    /// What next() found.
    enum class Found {
        Row,     // a row, in fields and null
        More,    // the bytes end before the next row does
        End,     // the trailer, and nothing after it
        Broken,  // bytes that are no COPY in binary
    };

    /// Takes the next bytes of the stream. The views of a row last until
    /// then.
    void add(std::string_view bytes);

    /// Reads the next row into fields: each field's bytes, or null.
    Found next(std::vector<std::string_view>& fields, std::vector<bool>& null);

private:
    Found readHeader();

    std::string pending;       // bytes received, from consumed on unread
    std::size_t consumed = 0;  // bytes of pending read
    bool headerRead = false;
    bool trailerRead = false;
};

/// The rows of a COPY TO STDOUT in the server's binary form, read as they
/// stream in over a connection.
class CopyRows {
public:
    explicit CopyRows(PGconn* connection) : connection(connection) {}

    /// Reads the next row into fields; false at the end, or on an error,
    /// which failed() then tells. The copy is read to its end either way,
    /// so that the connection goes on.
    bool next(std::vector<std::string_view>& fields, std::vector<bool>& null);

    bool failed() const { return broken; }

private:
    /// Reads and drops the rest of the copy.
    void drain();

    PGconn* connection;
    CopyReader reader;
    CopyReader::Found last = CopyReader::Found::More;  // what reader found
    bool ended = false;   // the server ended the copy
    bool broken = false;  // the copy failed, or was no COPY in binary
};

/// Products sent to a COPY FROM STDIN in the server's binary form, a block
/// of about 64 KiB at a time.
class CopyProducts {
public:
    explicit CopyProducts(PGconn* connection);

    /// Adds a product; false when a block could not be sent.
    bool add(const std::string& id, const std::string& shelf,
             std::uint32_t amount, const std::string& name);

    /// Sends the rest and ends the copy; false when that fails. Without
    /// sent, ends it as failed instead.
    bool finish(bool sent);

private:
    bool sendBlock();

    PGconn* connection;
    std::string block;
};

#endif
