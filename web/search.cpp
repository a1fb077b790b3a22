// A text found in a product's id, shelf or name, as L finds it.
#include "web/search.hh"

Search::Search(std::string_view looked)
    : text(looked, CaselessSearch::Letters::All), nothing(looked.empty())
{
}

bool Search::matches(std::string_view id, std::string_view shelf,
                     std::string_view name)
{
    return nothing || text.foundIn(id) || text.foundIn(shelf) ||
           text.foundIn(name);
}
