// What warehouse-web settles before it serves: the owner's key, kept in a
// file between runs, and the addresses another machine can open.
#ifndef WAREHOUSE_WEB_STARTUP_HH
#define WAREHOUSE_WEB_STARTUP_HH

#include <string>
#include <vector>

/// Where the key is kept without --key-file: warehouse/web-key under
/// $XDG_STATE_HOME, or under $HOME/.local/state; empty when neither is set.
std::string defaultKeyFile();

/// The key in file, made there when the file is not: a new random key, in
/// a file only its owner may read or write. A file that others may read,
/// or that is not the user's own, is refused. Empty, with why, when there
/// is no key to be had.
std::string ownerKey(const std::string& file, std::string& why);

/// The machine's own addresses, other than the loopback, of the family the
/// wildcard address host is of (0.0.0.0: IPv4; "::": both); the loopback
/// when it has no other. Any other host is given back as it is.
std::vector<std::string> addressesToOpen(const std::string& host);

/// The contents of a file; false with why when it cannot be read.
bool readWhole(const std::string& file, std::string& text, std::string& why);

#endif
