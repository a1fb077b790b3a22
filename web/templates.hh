// The words and layout of the owner's view: every page's template, the
// headers of its CSV files, and the few words its tables use. Nothing else
// in the program writes markup or words a reader sees, but the chart's
// numbers and the texts from the store, which the templates escape.
#ifndef WAREHOUSE_WEB_TEMPLATES_HH
#define WAREHOUSE_WEB_TEMPLATES_HH

#include <kainjow/mustache.hpp>

#include <string>

namespace page {

using Data = kainjow::mustache::data;
using Object = kainjow::mustache::object;
using List = kainjow::mustache::list;

/// A page's title and its content, in Mustache: {{name}} is escaped for
/// HTML (and so for the inline SVG), {{{name}}} is not and is used only for
/// markup the program makes.
struct Template {
    const char* title;
    const char* body;
};

extern const Template STOCK;
extern const Template LOW;
extern const Template DAY;
extern const Template PRODUCT;
extern const Template REORDER;
extern const Template EXPIRING;
extern const Template COUNTS;
extern const Template MISSING;     // 404
extern const Template REFUSED;     // 400, 403, 405, 414
extern const Template STORE_DOWN;  // 503

/// A whole page: the layout around the page rendered with data; data's
/// "q" fills the search box.
std::string render(const Template& page, const Data& data);

// The first line of each CSV file.
extern const char* const STOCK_CSV;
extern const char* const SOLD_OUT_CSV;
extern const char* const DAY_PRODUCTS_CSV;
extern const char* const DAY_CLERKS_CSV;
extern const char* const DAY_COMMANDS_CSV;
extern const char* const PRODUCT_CSV;
extern const char* const REORDER_CSV;
extern const char* const EXPIRING_CSV;
extern const char* const COUNTS_CSV;

// Words in the tables and files, as the console's H writes them.
extern const char* const MANY_PRODUCTS;    // units of an entry of many
extern const char* const NO_REASON;        // a stock-take's difference without one

}  // namespace page

#endif
