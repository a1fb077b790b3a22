// Every page's template and the words of the owner's view.
#include "web/templates.hh"

namespace page {

namespace {

// Every page: a bar of links and a search box above the content. The style
// is inline, so that a page is one request; the pages have no script.
const char* const LAYOUT = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{{{title}}} · warehouse</title>
<style>
body { font: 15px/1.45 system-ui, sans-serif; margin: 0; color: #222; background: #fbfaf7; }
nav { background: #5a2d82; padding: .5em 1.5em; display: flex; gap: 1.4em; align-items: center; flex-wrap: wrap; }
nav a { color: #fff; text-decoration: none; font-weight: 600; }
nav form { margin-left: auto; }
main { padding: .5em 1.5em 2em; max-width: 72em; }
h1 { font-size: 1.6em; margin: .6em 0 .3em; overflow-wrap: anywhere; }
h2 { font-size: 1.2em; margin: 1.4em 0 .3em; }
table { border-collapse: collapse; margin: .4em 0; }
th, td { padding: .2em .9em .2em 0; border-bottom: 1px solid #e3e0da; text-align: left; vertical-align: top; }
th { border-bottom: 2px solid #bbb; }
th a { color: inherit; }
.n { text-align: right; font-variant-numeric: tabular-nums; }
tfoot td { font-weight: 600; border-bottom: none; }
.pages a { margin-right: 1.5em; }
.csv { font-size: 90%; }
figure { margin: .8em 0; }
svg { background: #fff; border: 1px solid #e3e0da; max-width: 100%; height: auto; }
svg polyline { fill: none; stroke: #5a2d82; stroke-width: 2; }
svg line { stroke: #999; }
svg text { font: 12px sans-serif; fill: #555; }
</style>
</head>
<body>
<nav><a href="/">Stock</a><a href="/low">Low and sold out</a><a href="/reorder">To order</a><a href="/day">Today</a><a href="/days">Days</a><a href="/expiring">Expiring</a><a href="/counts">Stock-takes</a>
<form action="/" method="get"><input type="search" name="q" value="{{q}}" placeholder="id, shelf or name" aria-label="Find products"> <button>Find</button></form></nav>
<main>
{{{content}}}
</main>
</body>
</html>
)";

// A page of products, sortable by each column, for the stock and the low.
const char* const PRODUCT_TABLE = R"({{#has_rows}}
<table id="products">
<thead><tr>
<th><a href="{{sort_id}}">Id</a>{{#by_id}} ▲{{/by_id}}</th>
<th class="n"><a href="{{sort_amount}}">Units</a>{{#by_amount}} ▲{{/by_amount}}</th>
<th><a href="{{sort_shelf}}">Shelf</a>{{#by_shelf}} ▲{{/by_shelf}}</th>
<th><a href="{{sort_name}}">Name</a>{{#by_name}} ▲{{/by_name}}</th>
</tr></thead>
<tbody>
{{#rows}}
<tr><td><a href="{{href}}">{{id}}</a></td><td class="n">{{amount}}</td><td>{{shelf}}</td><td>{{name}}</td></tr>
{{/rows}}
</tbody>
</table>
<p class="pages">{{#previous}}<a id="previous" rel="prev" href="{{previous}}">← Previous {{page_size}}</a>{{/previous}}{{#next}}<a id="next" rel="next" href="{{next}}">Next {{page_size}} →</a>{{/next}}</p>
{{/has_rows}}
{{#past_end}}<p class="empty">No more products this way: <a id="first" href="{{past_end}}">the first page</a>.</p>{{/past_end}})";

}  // namespace

const Template STOCK = {"Stock", R"(<h1>Stock</h1>
{{#q}}<p id="summary">Products whose id, shelf or name holds “{{q}}”: <span id="matched">{{matched}}</span> of {{kinds}}.</p>{{/q}}
{{^q}}<p id="summary">In stock: <span id="kinds">{{kinds}}</span> kinds of candy, <span id="units">{{units}}</span> units.</p>
{{#at_cost}}<p id="value">Worth <span id="at-cost">{{at_cost}}</span> at cost and <span id="at-price">{{at_price}}</span> at sale price. <span id="without-price">{{without_price}}</span> kinds in stock have no price and <span id="without-cost">{{without_cost}}</span> no cost: they count for nothing here.</p>{{/at_cost}}{{/q}}
{{>product_table}}
{{^has_rows}}{{^past_end}}<p class="empty">{{#q}}No product's id, shelf or name holds “{{q}}”.{{/q}}{{^q}}The stock is empty.{{/q}}</p>{{/past_end}}{{/has_rows}}
<p class="csv"><a id="csv" href="{{csv}}">Download as CSV</a>: the whole list, not only this page.</p>
)"};

const Template LOW = {"Low and sold out", R"(<h1>Low and sold out</h1>
<form id="below-form" action="/low" method="get"><label>Fewer than <input name="below" type="number" min="1" value="{{below}}"> units</label> <button>Show</button></form>
<h2>Low</h2>
<p id="summary">Products with fewer than {{below}} units: <span id="matched">{{matched}}</span>, the fewest first.</p>
{{>product_table}}
<p class="csv"><a id="csv" href="{{csv}}">Download as CSV</a></p>
<h2>Sold out</h2>
<p id="sold-out-summary">Products whose last change took them to 0 units and that are not back: <span id="sold-out-count">{{sold_out_count}}</span>, the newest first.{{#sold_out_cut}} The newest {{sold_out_shown}} are shown; the CSV has them all.{{/sold_out_cut}}</p>
{{#has_sold_out}}
<table id="sold-out">
<thead><tr><th>Id</th><th>Name</th><th>Sold out at</th><th>By</th><th>Command</th></tr></thead>
<tbody>
{{#sold_out}}
<tr><td><a href="{{href}}">{{id}}</a></td><td>{{name}}</td><td>{{time}}</td><td>{{clerk}}</td><td>{{command}}</td></tr>
{{/sold_out}}
</tbody>
</table>
{{/has_sold_out}}
<p class="csv"><a id="sold-out-csv" href="/soldout.csv">Download as CSV</a></p>
)"};

const Template DAY = {"{{#one_day}}The day {{date}}{{/one_day}}{{^one_day}}The days {{from}} to {{to}}{{/one_day}}", R"({{#one_day}}<h1>The day {{date}}</h1>
<p class="pages">{{#previous}}<a id="previous" rel="prev" href="{{previous}}">← {{previous_date}}</a>{{/previous}}{{#next}}<a id="next" rel="next" href="{{next}}">{{next_date}} →</a>{{/next}}</p>{{/one_day}}
{{^one_day}}<h1>The days {{from}} to {{to}}</h1>
<form id="span-form" action="/days" method="get"><label>From <input name="from" type="date" value="{{from}}"></label> <label>to <input name="to" type="date" value="{{to}}"></label> <button>Show</button></form>{{/one_day}}
<p>In local time, midnight to midnight. Delivered counts deliveries alone: a load and generated products show in the net. The net is every change, by other programs too; a command that changed very many products at once shows among the commands only.</p>
<p id="totals">Units in: <span id="units-in">{{total_delivered}}</span>; units out: <span id="units-out">{{total_withdrawn}}</span>; takings at sale price: <span id="takings">{{takings}}</span>{{#unpriced}} (<span id="unpriced">{{unpriced}}</span> products withdrawn have no price and count for nothing){{/unpriced}}.</p>
<h2>Best sellers</h2>
{{#has_best}}
<table id="best-sellers">
<thead><tr><th>Id</th><th>Name</th><th class="n">Withdrawn</th><th class="n">Takings</th></tr></thead>
<tbody>
{{#best}}
<tr><td><a href="{{href}}">{{id}}</a></td><td>{{name}}</td><td class="n">{{withdrawn}}</td><td class="n">{{takings}}</td></tr>
{{/best}}
</tbody>
</table>
{{/has_best}}
{{^has_best}}<p class="empty">Nothing was withdrawn.</p>{{/has_best}}
<h2>Clerks</h2>
{{#has_clerks}}
<table id="day-clerks">
<thead><tr><th>Clerk</th><th class="n">Commands</th><th class="n">Units delivered</th><th class="n">Units withdrawn</th><th class="n">Takings</th></tr></thead>
<tbody>
{{#clerks}}
<tr><td>{{clerk}}</td><td class="n">{{commands}}</td><td class="n">{{delivered}}</td><td class="n">{{withdrawn}}</td><td class="n">{{takings}}</td></tr>
{{/clerks}}
</tbody>
</table>
{{/has_clerks}}
{{^has_clerks}}<p class="empty">Nobody changed the stock.</p>{{/has_clerks}}
<p class="csv"><a id="clerks-csv" href="{{#one_day}}{{csv}}/clerks.csv{{/one_day}}{{^one_day}}{{csv}}&amp;table=clerks{{/one_day}}">Download as CSV</a></p>
<h2>Products</h2>
<p>{{product_count}} products, {{page_size}} a page; this is page {{page}}.</p>
{{#has_products}}
<table id="day-products">
<thead><tr><th>Id</th><th>Name</th><th class="n">Delivered</th><th class="n">Withdrawn</th><th class="n">Net</th><th class="n">Takings</th></tr></thead>
<tbody>
{{#products}}
<tr><td><a href="{{href}}">{{id}}</a></td><td>{{name}}</td><td class="n">{{delivered}}</td><td class="n">{{withdrawn}}</td><td class="n">{{net}}</td><td class="n">{{takings}}</td></tr>
{{/products}}
</tbody>
<tfoot><tr><td>All</td><td></td><td class="n">{{total_delivered}}</td><td class="n">{{total_withdrawn}}</td><td class="n">{{total_net}}</td><td class="n">{{takings}}</td></tr></tfoot>
</table>
{{/has_products}}
{{^has_products}}<p class="empty">No product changed{{#previous_page}} on this page{{/previous_page}}.</p>{{/has_products}}
<p class="csv"><a id="products-csv" href="{{#one_day}}{{csv}}.csv{{/one_day}}{{^one_day}}{{csv}}{{/one_day}}">Download as CSV</a>: every product, not only this page.</p>
{{#one_day}}<h2>Commands</h2>
<p>{{command_count}} commands, {{page_size}} a page; this is page {{page}}.</p>
{{#has_commands}}
<table id="day-commands">
<thead><tr><th>Time</th><th>Clerk</th><th>Command</th><th class="n">Changes</th></tr></thead>
<tbody>
{{#commands}}
<tr><td>{{time}}</td><td>{{clerk}}</td><td>{{command}}</td><td class="n">{{changes}}</td></tr>
{{/commands}}
</tbody>
</table>
{{/has_commands}}
{{^has_commands}}<p class="empty">No command changed the stock{{#previous_page}} on this page{{/previous_page}}.</p>{{/has_commands}}
<p class="csv"><a id="commands-csv" href="{{csv}}/commands.csv">Download as CSV</a></p>{{/one_day}}
<p class="pages">{{#previous_page}}<a id="previous-page" rel="prev" href="{{previous_page}}">← Previous {{page_size}}</a>{{/previous_page}}{{#next_page}}<a id="next-page" rel="next" href="{{next_page}}">Next {{page_size}} →</a>{{/next_page}}</p>
)"};

const Template PRODUCT = {"{{id}}", R"(<h1 id="id">{{id}}</h1>
{{#in_stock}}<p id="summary"><span id="name">{{name}}</span>: <span id="amount">{{amount}}</span> units on shelf <span id="shelf">{{shelf}}</span>.</p>{{/in_stock}}
{{^in_stock}}<p id="summary">No product with this id is in stock now; its history is below.</p>{{/in_stock}}
{{#record}}
<table id="record">
<tbody>
<tr><th>Name</th><td id="record-name">{{name}}</td></tr>
<tr><th>Shelf</th><td id="record-shelf">{{shelf}}</td></tr>
<tr><th>Price</th><td id="record-price">{{price}}</td></tr>
<tr><th>Cost</th><td id="record-cost">{{cost}}</td></tr>
<tr><th>Reorder level</th><td id="record-reorder-level">{{reorder_level}}</td></tr>
<tr><th>Discontinued</th><td id="record-discontinued">{{discontinued}}</td></tr>
</tbody>
</table>
{{/record}}
{{#lots}}
<h2>Lots</h2>
<table id="lots">
<thead><tr><th>Best before</th><th class="n">Units</th><th class="n">At cost</th></tr></thead>
<tbody>
{{#rows}}
<tr{{#expired}} class="expired"{{/expired}}><td>{{best_before}}{{#expired}} (expired){{/expired}}</td><td class="n">{{units}}</td><td class="n">{{value}}</td></tr>
{{/rows}}
{{#undated}}<tr><td>undated</td><td class="n">{{undated}}</td><td class="n">{{undated_value}}</td></tr>
{{/undated}}
</tbody>
</table>
{{/lots}}
{{#chart}}
<figure>
<svg id="chart" xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {{width}} {{height}}" width="{{width}}" height="{{height}}" role="img">
<title>Units of {{label}} over time</title>
<line x1="{{left}}" y1="{{bottom}}" x2="{{right}}" y2="{{bottom}}"/>
<line x1="{{left}}" y1="{{top}}" x2="{{left}}" y2="{{bottom}}"/>
<text x="{{scale_x}}" y="{{top_label_y}}" text-anchor="end">{{most}}</text>
<text x="{{scale_x}}" y="{{bottom}}" text-anchor="end">0</text>
{{#ticks}}<line class="tick" x1="{{x}}" y1="{{tick_top}}" x2="{{x}}" y2="{{tick_bottom}}"/><text class="tick" x="{{x}}" y="{{date_y}}" text-anchor="{{anchor}}">{{label}}</text>
{{/ticks}}
<polyline points="{{points}}"/>
</svg>
<figcaption>Units from the first change in the history ({{first}}) until now ({{last}}), in local time.</figcaption>
</figure>
{{/chart}}
<h2>History</h2>
<table id="history">
<thead><tr><th>Time</th><th>Clerk</th><th>Command</th><th class="n">Before</th><th class="n">After</th></tr></thead>
<tbody>
{{#entries}}
<tr><td>{{time}}</td><td>{{clerk}}</td><td>{{command}}</td><td class="n">{{before}}</td><td class="n">{{after}}</td></tr>
{{/entries}}
</tbody>
</table>
<p class="csv"><a id="csv" href="{{csv}}">Download as CSV</a></p>
)"};

const Template REORDER = {"To order", R"(<h1>To order</h1>
<form id="reorder-form" action="/reorder" method="get"><label>Enough for <input name="days" type="number" min="1" max="3650" value="{{days}}"> days</label> <label>Without a reorder level: fewer than <input name="below" type="number" min="1" value="{{below}}"> units</label> <button>Show</button></form>
<p id="summary">Products at or below their reorder level (those without one: fewer than {{below}} units), sold-out ones too, and none that is discontinued: <span id="matched">{{matched}}</span>, the soonest gone first. A product goes at the units withdrawn a day over the last {{rate_days}} days; the order is enough for {{days}} days at that rate, less the units in stock: <span id="order-total">{{order_total}}</span> units in all.</p>
{{#has_rows}}
<table id="reorder">
<thead><tr><th>Id</th><th>Name</th><th>Shelf</th><th class="n">Units</th><th class="n">Reorder level</th><th class="n">Withdrawn a day</th><th class="n">Days left</th><th class="n">Order</th></tr></thead>
<tbody>
{{#rows}}
<tr><td><a href="{{href}}">{{id}}</a></td><td>{{name}}</td><td>{{shelf}}</td><td class="n">{{units}}</td><td class="n">{{level}}</td><td class="n">{{rate}}</td><td class="n">{{days_left}}</td><td class="n">{{order}}</td></tr>
{{/rows}}
</tbody>
</table>
{{/has_rows}}
{{^has_rows}}<p class="empty">Nothing needs ordering{{#previous}} on this page{{/previous}}.</p>{{/has_rows}}
<p class="pages">{{#previous}}<a id="previous" rel="prev" href="{{previous}}">← Previous {{page_size}}</a>{{/previous}}{{#next}}<a id="next" rel="next" href="{{next}}">Next {{page_size}} →</a>{{/next}}</p>
<p class="csv"><a id="csv" href="{{csv}}">Download as CSV</a>: the whole list, for the supplier.</p>
)"};

// What a page of lots or stock-takes says on a store older than they are.
#define NO_LOTS "<p id=\"no-lots\" class=\"empty\">This store keeps no best-before dates and no stock-takes yet: the next run of warehouse by its owner brings it up to date.</p>"

const Template EXPIRING = {"Expiring", R"(<h1>Expiring</h1>
{{#no_lots}})" NO_LOTS R"({{/no_lots}}{{^no_lots}}
<form id="expiring-form" action="/expiring" method="get"><label>Within <input name="days" type="number" min="0" max="3650" value="{{days}}"> days</label> <button>Show</button></form>
<p id="summary">Lots best before {{last}} or earlier, the expired ones (best before {{today}}) first, then by date{{#totals}}: <span id="lots-count">{{lots}}</span> {{#one_lot}}lot{{/one_lot}}{{^one_lot}}lots{{/one_lot}}, <span id="units">{{units}}</span> units, worth <span id="at-cost">{{at_cost}}</span> at cost. <span id="without-cost">{{without_cost}}</span> {{#one_without_cost}}lot is{{/one_without_cost}}{{^one_without_cost}}lots are{{/one_without_cost}} of products with no cost: they count for nothing here{{/totals}}{{^totals}}; {{page_size}} a page, this is page {{page}}, and the first has the totals{{/totals}}.</p>
{{#has_rows}}
<table id="expiring">
<thead><tr><th>Id</th><th>Name</th><th>Shelf</th><th class="n">Units</th><th>Best before</th><th class="n">At cost</th></tr></thead>
<tbody>
{{#rows}}
<tr{{#expired}} class="expired"{{/expired}}><td><a href="{{href}}">{{id}}</a></td><td>{{name}}</td><td>{{shelf}}</td><td class="n">{{units}}</td><td>{{best_before}}{{#expired}} (expired){{/expired}}</td><td class="n">{{value}}</td></tr>
{{/rows}}
</tbody>
</table>
{{/has_rows}}
{{^has_rows}}<p class="empty">No lot is best before then{{#previous}} on this page{{/previous}}.</p>{{/has_rows}}
<p class="pages">{{#previous}}<a id="previous" rel="prev" href="{{previous}}">← Previous {{page_size}}</a>{{/previous}}{{#next}}<a id="next" rel="next" href="{{next}}">Next {{page_size}} →</a>{{/next}}</p>
<p class="csv"><a id="csv" href="{{csv}}">Download as CSV</a>: every lot listed, not only this page.</p>
{{/no_lots}})"};

const Template COUNTS = {"Stock-takes", R"(<h1>Stock-takes</h1>
{{#no_lots}})" NO_LOTS R"({{/no_lots}}{{^no_lots}}
<p id="summary">Each stock-take set the units of the products counted to the count; a difference is the units counted less those the records expected, a loss below 0, and is worth its units at the catalogue's cost today. <span id="takes-count">{{takes_count}}</span> {{#one_take}}stock-take{{/one_take}}{{^one_take}}stock-takes{{/one_take}}, the newest first.</p>
{{#has_takes}}
<table id="takes">
<thead><tr><th>Time</th><th>Clerk</th><th>Command</th><th class="n">Products</th><th class="n">Difference</th><th class="n">At cost</th></tr></thead>
<tbody>
{{#takes}}
<tr><td>{{time}}</td><td>{{clerk}}</td><td>{{command}}</td><td class="n">{{products}}</td><td class="n">{{units}}</td><td class="n">{{at_cost}}</td></tr>
{{/takes}}
</tbody>
</table>
<h2>By reason</h2>
<table id="reasons">
<thead><tr><th>Reason</th><th class="n">Products</th><th class="n">Difference</th><th class="n">At cost</th><th class="n">Without a cost</th></tr></thead>
<tbody>
{{#reasons}}
<tr><td>{{reason}}</td><td class="n">{{products}}</td><td class="n">{{units}}</td><td class="n">{{at_cost}}</td><td class="n">{{without_cost}}</td></tr>
{{/reasons}}
</tbody>
{{#all}}<tfoot><tr><td>All</td><td class="n" id="total-products">{{products}}</td><td class="n" id="total-units">{{units}}</td><td class="n" id="total-at-cost">{{at_cost}}</td><td class="n" id="total-without-cost">{{without_cost}}</td></tr></tfoot>{{/all}}
</table>
<h2>Differences</h2>
<p>{{page_size}} a page; this is page {{page}}.</p>
{{#has_rows}}
<table id="differences">
<thead><tr><th>Time</th><th>Clerk</th><th>Id</th><th>Name</th><th class="n">Expected</th><th class="n">Counted</th><th class="n">Difference</th><th>Reason</th><th class="n">At cost</th></tr></thead>
<tbody>
{{#rows}}
<tr><td>{{time}}</td><td>{{clerk}}</td><td><a href="{{href}}">{{id}}</a></td><td>{{name}}</td><td class="n">{{expected}}</td><td class="n">{{counted}}</td><td class="n">{{difference}}</td><td>{{reason}}</td><td class="n">{{value}}</td></tr>
{{/rows}}
</tbody>
</table>
{{/has_rows}}
{{^has_rows}}<p class="empty">No differences{{#previous}} on this page{{/previous}}.</p>{{/has_rows}}
<p class="pages">{{#previous}}<a id="previous" rel="prev" href="{{previous}}">← Previous {{page_size}}</a>{{/previous}}{{#next}}<a id="next" rel="next" href="{{next}}">Next {{page_size}} →</a>{{/next}}</p>
{{/has_takes}}
{{^has_takes}}<p class="empty">No stock-take found a difference yet.</p>{{/has_takes}}
<p class="csv"><a id="csv" href="/counts.csv">Download as CSV</a>: every difference.</p>
{{/no_lots}})"};

#undef NO_LOTS

const Template MISSING = {"Not found", R"(<h1>Not found</h1>
<p id="message">{{#product}}No product with the id “{{product}}” is in stock, and none ever was.{{/product}}{{#path}}There is no page at {{path}}.{{/path}}{{#day}}“{{day}}” is not a day: a day is written YYYY-MM-DD.{{/day}}</p>
<p><a href="/">The stock</a></p>
)"};

const Template REFUSED = {"{{#key}}A key is needed{{/key}}{{#method}}Only reading{{/method}}{{#request}}Bad request{{/request}}", R"(<h1>{{{title}}}</h1>
<p id="message">{{#key}}This view needs its key: open the address with the key that the program printed when it started.{{/key}}{{#method}}This view only reads the stock: it answers GET and HEAD, not {{method}}.{{/method}}{{#request}}{{#below}}“Fewer than” takes a whole number of units from 1 up.{{/below}}{{#sort}}A list is sorted by id, amount, shelf or name.{{/sort}}{{#boundary}}The link to this page is damaged: its place in the list cannot be read.{{/boundary}}{{#encoding}}The address holds a % that is not followed by two hexadecimal digits.{{/encoding}}{{#too_long}}The request line or its headers are too long.{{/too_long}}{{#host}}This view answers only to the name of the machine's own loopback, such as localhost.{{/host}}{{#other}}The request could not be read.{{/other}}{{#days}}The days to order for are a whole number from 1 to 3650.{{/days}}{{#span}}A span of days goes from a day to the same day or a later one, at most 366 days, each written YYYY-MM-DD.{{/span}}{{#window}}The days ahead are a whole number from 0 to 3650.{{/window}}{{/request}}</p>
)"};

const Template STORE_DOWN = {"The store cannot be read", R"(<h1>The store cannot be read</h1>
<p id="message">The view cannot read the store now. Nothing was changed; try again in a moment.</p>
)"};

std::string render(const Template& page, const Data& data)
{
    Data full = data;
    full.set("title", kainjow::mustache::mustache(page.title).render(data));
    full.set("product_table", kainjow::mustache::partial([] {
                 return std::string(PRODUCT_TABLE);
             }));
    kainjow::mustache::mustache body(page.body);
    full.set("content", body.render(full));
    kainjow::mustache::mustache layout(LAYOUT);
    return layout.render(full);
}

const char* const STOCK_CSV = "id,amount,shelf,name\r\n";
const char* const SOLD_OUT_CSV = "id,name,sold_out_at,clerk,command\r\n";
const char* const DAY_PRODUCTS_CSV = "id,name,delivered,withdrawn,net,takings\r\n";
const char* const DAY_CLERKS_CSV = "clerk,commands,delivered,withdrawn,takings\r\n";
const char* const DAY_COMMANDS_CSV = "time,clerk,command,changes\r\n";
const char* const REORDER_CSV =
    "id,name,shelf,units,reorder_level,withdrawn_28_days,per_day,days_left,order\r\n";
const char* const EXPIRING_CSV = "id,name,shelf,units,best_before,at_cost,expired\r\n";
const char* const COUNTS_CSV =
    "time,clerk,id,name,expected,counted,difference,reason,at_cost\r\n";
const char* const PRODUCT_CSV = "time,clerk,command,before,after\r\n";

const char* const MANY_PRODUCTS = "(many products)";
const char* const NO_REASON = "(none given)";

}  // namespace page
