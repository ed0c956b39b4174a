// Product mix: weekly production of tables and chairs for maximum profit.
{string} Products = ...;                 // what the workshop makes
{string} Resources = ...;                // shop capacities
float profit[Products] = ...;            // profit per unit
float usage[Products][Resources] = ...;  // hours of each resource per unit
float available[Resources] = ...;        // hours available per week

dvar float+ make[Products];              // units made per week

maximize totalProfit: sum(p in Products) profit[p] * make[p];

subject to {
  forall(r in Resources)
    capacity: sum(p in Products) usage[p][r] * make[p] <= available[r];
}
