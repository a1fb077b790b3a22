// What the fuzz targets share: a stream buffer that swallows output and a
// fresh table for each input.
#ifndef WAREHOUSE_TESTS_FUZZ_SUPPORT_HH
#define WAREHOUSE_TESTS_FUZZ_SUPPORT_HH

#include "console/console.hh"
#include "console/console_input.hh"
#include "datastructure.hh"
#include "stock/benchmark.hh"
#include "stock/stock_file.hh"

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <istream>
#include <new>
#include <string>
#include <streambuf>

// Accepts and drops everything written to it, at the cost of a call.
class DiscardingBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override
    {
        return n;
    }
};

// Points standard output and standard error at a DiscardingBuffer for the
// life of the program: fuzzing prints far too much to keep.
inline void discardOutput()
{
    static DiscardingBuffer discard;
    std::cout.rdbuf(&discard);
    std::cerr.rdbuf(&discard);
}

// Keeps what is written to it in text, which the reader clears at will; the
// text keeps its capacity, so capturing costs no allocation per line.
class CapturingBuffer : public std::streambuf {
public:
    std::string text;

protected:
    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            text += traits_type::to_char_type(c);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* bytes, std::streamsize n) override
    {
        text.append(bytes, static_cast<std::size_t>(n));
        return n;
    }
};

// Points standard output at a CapturingBuffer for the life of the program,
// for targets that check what the table prints, and returns its text.
inline std::string& captureOutput()
{
    static CapturingBuffer captured;
    static const bool capturing = (std::cout.rdbuf(&captured), true);
    (void)capturing;
    return captured.text;
}

// A fresh table for each input, built in storage that stays in place: the
// object is over a megabyte, and allocating that anew for every input would
// cost more than the input's own work.
class FreshTable {
public:
    FreshTable() : table(*new (storage) Datastructure) {}
    ~FreshTable() { table.~Datastructure(); }
    FreshTable(const FreshTable&) = delete;
    FreshTable& operator=(const FreshTable&) = delete;

    Datastructure& table;

private:
    alignas(Datastructure) static inline unsigned char storage[sizeof(
        Datastructure)];
};

// The input's bytes, taken one at a time; zeros once it is used up, so that a
// decoder never runs past the end.
struct FuzzBytes {
    const std::uint8_t* data;
    std::size_t size;

    bool done() const { return size == 0; }
    std::uint8_t next()
    {
        if (size == 0) {
            return 0;
        }
        --size;
        return *data++;
    }
};

#endif
