// The server's binary forms of numbers, arrays and COPY rows, read and written.
#include "store/postgres/postgres_wire.hh"

#include <endian.h>

#include <cstring>
#include <limits>

std::string oneLine(const char* message)
{
    std::string line;
    for (const char* c = message; *c != '\0'; ++c) {
        const bool space = *c == '\n' || *c == '\t' || *c == '\r';
        if (!space) {
            line += *c;
        } else if (!line.empty() && line.back() != ' ') {
            line += ' ';
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

bool succeeded(const PGresult* result)
{
    const ExecStatusType status = pq::PQresultStatus(result);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK ||
           status == PGRES_COPY_IN || status == PGRES_COPY_OUT ||
           status == PGRES_PIPELINE_SYNC;
}

bool stateIs(const PGresult* result, const char* state)
{
    const char* found = result != nullptr
                            ? pq::PQresultErrorField(result, PG_DIAG_SQLSTATE)
                            : nullptr;
    return found != nullptr && std::strcmp(found, state) == 0;
}

std::uint64_t bigEndian64(const char* bytes)
{
    std::uint64_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return be64toh(value);
}

std::uint32_t bigEndian32(const char* bytes)
{
    std::uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return be32toh(value);
}

void appendHex(std::string& to, std::string_view bytes)
{
    constexpr char DIGITS[] = "0123456789abcdef";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        to += DIGITS[byte >> 4];
        to += DIGITS[byte & 15];
    }
}

std::string byteaLiteral(std::string_view bytes)
{
    std::string literal = "'\\x";
    appendHex(literal, bytes);
    return literal + "'::bytea";
}

void appendBigEndian16(std::string& to, std::uint16_t value)
{
    value = htobe16(value);
    to.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void appendBigEndian32(std::string& to, std::uint32_t value)
{
    value = htobe32(value);
    to.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void appendBigEndian64(std::string& to, std::uint64_t value)
{
    value = htobe64(value);
    to.append(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string_view field(const PGresult* result, int row, int column)
{
    return {pq::PQgetvalue(result, row, column),
            static_cast<std::size_t>(pq::PQgetlength(result, row, column))};
}

std::int64_t int8Field(const PGresult* result, int row, int column)
{
    return static_cast<std::int64_t>(
        bigEndian64(pq::PQgetvalue(result, row, column)));
}

std::int64_t wholeNumber(std::string_view field)
{
    switch (field.size()) {
    case 8:
        return static_cast<std::int64_t>(bigEndian64(field.data()));
    case 4:
        return static_cast<std::int32_t>(bigEndian32(field.data()));
    case 2:
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(
            static_cast<unsigned char>(field[0]) << 8 |
            static_cast<unsigned char>(field[1])));
    default:
        return 0;
    }
}

std::optional<std::string> optionalField(const PGresult* result, int row,
                                         int column)
{
    if (pq::PQgetisnull(result, row, column)) {
        return std::nullopt;
    }
    return std::string(field(result, row, column));
}

bool readAmount(std::string_view field, std::uint32_t& amount)
{
    if (field.size() != 8) {
        return false;
    }
    const auto units = static_cast<std::int64_t>(bigEndian64(field.data()));
    if (units < 1 || units > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    amount = static_cast<std::uint32_t>(units);
    return true;
}

void ArrayParameter::add(std::string_view bytes)
{
    appendBigEndian32(elements, static_cast<std::uint32_t>(bytes.size()));
    elements.append(bytes);
    ++count;
}

void ArrayParameter::add(std::int64_t number)
{
    appendBigEndian32(elements, 8);
    appendBigEndian64(elements, static_cast<std::uint64_t>(number));
    ++count;
}

const std::string& ArrayParameter::bytes()
{
    whole.clear();
    appendBigEndian32(whole, count == 0 ? 0 : 1);  // dimensions
    appendBigEndian32(whole, 0);                   // no nulls
    appendBigEndian32(whole, elementType);
    if (count > 0) {
        appendBigEndian32(whole, static_cast<std::uint32_t>(count));
        appendBigEndian32(whole, 1);  // the first index
    }
    whole += elements;
    return whole;
}

void CopyReader::add(std::string_view bytes)
{
    pending.erase(0, consumed);
    consumed = 0;
    pending.append(bytes);
}

CopyReader::Found CopyReader::readHeader()
{
    // PGCOPY\n\377\r\n\0, the flags, and the length of an extension.
    constexpr std::string_view SIGNATURE{"PGCOPY\n\377\r\n\0", 11};
    constexpr std::size_t HEADER = 11 + 4 + 4;
    if (pending.size() < HEADER) {
        return Found::More;
    }
    if (std::string_view(pending).substr(0, SIGNATURE.size()) != SIGNATURE) {
        return Found::Broken;
    }
    const std::uint32_t extension = bigEndian32(pending.data() + 15);
    if (pending.size() - HEADER < extension) {
        return Found::More;
    }
    consumed = HEADER + extension;
    headerRead = true;
    return Found::Row;
}

CopyReader::Found CopyReader::next(std::vector<std::string_view>& fields,
                                   std::vector<bool>& null)
{
    if (!headerRead) {
        if (const Found header = readHeader(); header != Found::Row) {
            return header;
        }
    }
    if (trailerRead) {
        return consumed == pending.size() ? Found::End : Found::Broken;
    }
    std::size_t at = consumed;
    if (pending.size() < at + 2) {
        return Found::More;
    }
    const auto count =
        static_cast<std::int16_t>(wholeNumber({pending.data() + at, 2}));
    at += 2;
    if (count < 0) {
        consumed = at;
        trailerRead = count == -1;
        return !trailerRead                 ? Found::Broken
               : consumed == pending.size() ? Found::End
                                            : Found::Broken;
    }
    fields.clear();
    null.clear();
    for (std::int16_t i = 0; i < count; ++i) {
        if (pending.size() < at + 4) {
            return Found::More;
        }
        const auto length = wholeNumber({pending.data() + at, 4});
        at += 4;
        if (length < -1) {
            return Found::Broken;
        }
        if (length == -1) {
            fields.emplace_back();
            null.push_back(true);
            continue;
        }
        if (pending.size() - at < static_cast<std::size_t>(length)) {
            return Found::More;
        }
        fields.emplace_back(pending.data() + at,
                            static_cast<std::size_t>(length));
        null.push_back(false);
        at += static_cast<std::size_t>(length);
    }
    consumed = at;
    return Found::Row;
}

bool CopyRows::next(std::vector<std::string_view>& fields,
                    std::vector<bool>& null)
{
    while (!ended) {
        last = reader.next(fields, null);
        if (last == CopyReader::Found::Row) {
            return true;
        }
        if (last == CopyReader::Found::Broken) {
            drain();
            return false;
        }
        char* chunk = nullptr;
        const int got = pq::PQgetCopyData(connection, &chunk, 0);
        if (got < 0) {
            ended = true;
            broken = got == -2 || last != CopyReader::Found::End;
            return false;
        }
        reader.add({chunk, static_cast<std::size_t>(got)});
        pq::PQfreemem(chunk);
    }
    return false;
}

void CopyRows::drain()
{
    char* chunk = nullptr;
    while (pq::PQgetCopyData(connection, &chunk, 0) >= 0) {
        pq::PQfreemem(chunk);
    }
    ended = true;
    broken = true;
}

CopyProducts::CopyProducts(PGconn* connection)
    : connection(connection), block("PGCOPY\n\377\r\n\0", 11)
{
    appendBigEndian32(block, 0);  // flags
    appendBigEndian32(block, 0);  // no extension
}

bool CopyProducts::add(const std::string& id, const std::string& shelf,
                       std::uint32_t amount, const std::string& name)
{
    appendBigEndian16(block, 4);  // fields
    appendBigEndian32(block, static_cast<std::uint32_t>(id.size()));
    block += id;
    appendBigEndian32(block, 8);
    appendBigEndian64(block, amount);
    appendBigEndian32(block, static_cast<std::uint32_t>(shelf.size()));
    block += shelf;
    appendBigEndian32(block, static_cast<std::uint32_t>(name.size()));
    block += name;
    return block.size() < (1 << 16) || sendBlock();
}

bool CopyProducts::sendBlock()
{
    const bool sent = pq::PQputCopyData(connection, block.data(),
                                        static_cast<int>(block.size())) == 1;
    block.clear();
    return sent;
}

bool CopyProducts::finish(bool sent)
{
    appendBigEndian16(block, 0xFFFF);  // the trailer
    if (sent && sendBlock() && pq::PQputCopyEnd(connection, nullptr) == 1) {
        return true;
    }
    pq::PQputCopyEnd(connection, "the store could not send the stock");
    return false;
}
