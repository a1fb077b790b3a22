// Saving the stock table to a stock file that "R" loads back as it was.
#ifndef WAREHOUSE_STOCK_SAVE_HH
#define WAREHOUSE_STOCK_SAVE_HH

#include "datastructure.hh"

#include <cstdint>
#include <string>

/// Writes every product in stock to fileName, one line "id;amount;shelf;name"
/// each, in the table's own order. A product whose id or shelf holds a ';'
/// or whose fields hold a line feed would load back as another product: it
/// is left out and named in a CANNOT_SAVE_PRODUCT line. The old file is
/// replaced only by a complete new one, keeping its permission bits; on any
/// failure it stays untouched, nothing is left behind, and a STOCK_NOT_SAVED
/// line says why. Prints nothing else. Returns true when the file holds
/// every product in stock.
bool SaveFile(const std::string& fileName, const Datastructure& table);

/// Writes the stock lines of SaveFile to an open descriptor, naming the
/// products the format cannot hold and counting them in leftOut. Returns
/// false, with errno set, when a write fails.
bool writeStockLines(int descriptor, const Datastructure& table,
                     std::uint64_t& leftOut);

#endif
