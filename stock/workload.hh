// The efficiency test's workload, written once for any table with the stock
// table's add, find, substract and empty, so that the program and the table
// comparison benchmark run exactly the same operations.
#ifndef WAREHOUSE_WORKLOAD_HH
#define WAREHOUSE_WORKLOAD_HH

#include <cstdint>
#include <cstdlib>
#include <string>

/// Makes the next generated id in id from the C library's generator: a
/// prefix, the template tail, and two positions from 4 to 22 changed.
void drawGeneratedId(std::string& id);

namespace workload {

// What every generated product is stored with.
inline const std::string GENERATED_SHELF = "8.97";
inline const std::string GENERATED_NAME = "Tyrkisk Peber";
inline constexpr std::uint32_t GENERATED_AMOUNT = 1000;

/// A product the workload adds, looks up and withdraws by name. Its id has
/// no ':' at positions 3, 15 and 20 together, so no generated id is equal.
struct FixedProduct {
    std::string id;
    std::string shelf;
    std::string name;
};

inline constexpr std::uint32_t FIXED_AMOUNT = 1000;
inline const FixedProduct GUM{"GUM:31415926:1007:961", "3.25",
                              "Jenkki Purukumi"};
inline const FixedProduct SUK{"SUK:10thTardis:1028:144", "1.56",
                              "Fazerin Sininen"};
inline const FixedProduct MIX{"MIX:GLaDOS:2148:615", "2.22", "Irtokarkkia"};
inline const FixedProduct WIN{"WIN:DeepThought:4242:424", "4.20",
                              "Haribonallet"};
inline const FixedProduct VHT{"VHT:StarGateSG1:1021:824", "7.00", "Omnomnom"};

template <typename Table> void addFixed(Table& table, const FixedProduct& p)
{
    table.add(p.id, p.shelf, FIXED_AMOUNT, p.name);
}

/// Goes on whatever happens: for work that is never stopped.
struct Unstoppable {
    bool operator()(std::uint32_t) const { return true; }
};

/// Adds n generated products. The count seeds the C library's generator, so
/// a given n always gives the same products. After each product, keepGoing
/// is told how many are done, and the work stops early when it says false.
/// Returns how many were added.
template <typename Table, typename KeepGoing = Unstoppable>
std::uint32_t generate(Table& table, std::uint32_t n, KeepGoing keepGoing = {})
{
    std::srand(n);
    std::string id;  // reused, so an id costs no allocation of its own
    for (std::uint32_t i = 0; i < n;) {
        drawGeneratedId(id);
        table.add(id, GENERATED_SHELF, GENERATED_AMOUNT, GENERATED_NAME);
        if (!keepGoing(++i)) {
            return i;
        }
    }
    return n;
}

/// Adds MIX, WIN and VHT, looks all five up and withdraws the three again.
template <typename Table> void probePass(Table& table)
{
    addFixed(table, MIX);
    addFixed(table, WIN);
    addFixed(table, VHT);
    for (const FixedProduct* product : {&GUM, &SUK, &MIX, &WIN, &VHT}) {
        table.find(product->id);
    }
    for (const FixedProduct* product : {&MIX, &WIN, &VHT}) {
        table.substract(product->id, FIXED_AMOUNT);
    }
}

/// One repeat of the efficiency test: empty the table, add GUM and SUK,
/// generate n products, make n / 3 probe passes, withdraw GUM and SUK.
/// keepGoing is asked after each product and each pass; when it says false
/// the repeat stops there, and false is returned.
template <typename Table, typename KeepGoing = Unstoppable>
bool repeatOnce(Table& table, std::uint32_t n, KeepGoing keepGoing = {})
{
    table.empty();
    addFixed(table, GUM);
    addFixed(table, SUK);
    if (generate(table, n, keepGoing) < n) {
        return false;
    }
    for (std::uint32_t pass = 0; pass < n / 3;) {
        probePass(table);
        if (!keepGoing(++pass)) {
            return false;
        }
    }
    table.substract(GUM.id, FIXED_AMOUNT);
    table.substract(SUK.id, FIXED_AMOUNT);
    return true;
}

}  // namespace workload

#endif
