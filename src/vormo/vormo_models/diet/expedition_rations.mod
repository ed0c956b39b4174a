/*********************************************************************
 * Ski traverse rations (integer diet problem)
 *
 * Whole packets of trail food are chosen so that the group's total
 * energy, protein and fat over the trip meet the per-person daily
 * targets times the number of person-days. Minimise carried weight.
 *********************************************************************/

// Kinds of packet on sale.
{string} Packets = ...;

// Nutrients that have targets.
{string} Nutrients = ...;

// Weight of one packet of each kind, in grams.
float grams[Packets] = ...;

// Nutrient amount in one packet of each kind.
float supplies[Packets][Nutrients] = ...;

// Daily need per person: lowest amount of each nutrient.
float perDayMin[Nutrients] = ...;

// Daily ceiling on fat per person, in grams.
float fatCeiling = ...;

// Trip length and group size.
int days = ...;
int people = ...;

// Person-days of food to carry.
int personDays = days * people;

// Packets of each kind the shop has.
int shopStock = ...;

// Packets of each kind bought.
dvar int+ buy[Packets] in 0..shopStock;

// Objective: grams carried.
minimize packWeight: sum(p in Packets) grams[p] * buy[p];

subject to {
  // Enough of every nutrient for all person-days.
  forall(n in Nutrients)
    enough: sum(p in Packets) supplies[p][n] * buy[p] >= personDays * perDayMin[n];

  // Fat stays under the daily ceiling over the whole trip.
  fatLimit: sum(p in Packets) supplies[p]["fat"] * buy[p] <= personDays * fatCeiling;
}
