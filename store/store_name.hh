// What a store's name says: which kind of store it is, and how messages
// show it, without the password it may hold.
#ifndef WAREHOUSE_STORE_NAME_HH
#define WAREHOUSE_STORE_NAME_HH

#include <string>
#include <string_view>

/// True when where names a store on a PostgreSQL server: a connection URI
/// that starts "postgresql://" or "postgres://". Anything else is a file.
bool isServerUri(std::string_view where);

/// where as messages name the store: any password it holds, in whatever
/// form, shown as "***".
std::string storeName(const std::string& where);

/// text with every password that where holds, and every piece of one that
/// a message may quote, replaced by "***".
std::string withoutPasswords(std::string text, const std::string& where);

#endif
