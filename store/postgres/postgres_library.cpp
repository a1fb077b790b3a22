// libpq loaded at run time, and its functions found, once.
#include "store/postgres/postgres_library.hh"

#include <dlfcn.h>

namespace pq {

#define WAREHOUSE_LIBPQ_DEFINE(name) decltype(&::name) name = nullptr;
WAREHOUSE_LIBPQ_FUNCTIONS(WAREHOUSE_LIBPQ_DEFINE)
#undef WAREHOUSE_LIBPQ_DEFINE

bool load(std::string& error)
{
    // The soname the headers are of: a library of another major version
    // would not match them.
    constexpr const char* LIBRARY = "libpq.so.5";
    static void* const library = ::dlopen(LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        error = std::string("PostgreSQL's client library ") + LIBRARY +
                " cannot be loaded (on Debian, install the package libpq5): " +
                ::dlerror();
        return false;
    }
    const char* missing = nullptr;
#define WAREHOUSE_LIBPQ_FIND(name)                                             \
    name = reinterpret_cast<decltype(name)>(::dlsym(library, #name));          \
    if (name == nullptr && missing == nullptr) {                               \
        missing = #name;                                                       \
    }
    WAREHOUSE_LIBPQ_FUNCTIONS(WAREHOUSE_LIBPQ_FIND)
#undef WAREHOUSE_LIBPQ_FIND
    if (missing != nullptr) {
        error = std::string("PostgreSQL's client library ") + LIBRARY +
                " is too old: it lacks " + missing +
                " (libpq of PostgreSQL 14 or newer is needed)";
        return false;
    }
    return true;
}

}  // namespace pq
