/*********************************************************************
 * Gravel haulage (transportation problem)
 *
 * Quarries with limited output supply work fronts with known needs.
 * Decide the tonnes moved on every quarry-front pair so that each
 * front gets at least its need, no quarry ships beyond its output, and
 * the haulage cost is minimal.
 *********************************************************************/

// Quarries that can supply gravel.
{string} Quarries = ...;

// Work fronts that need gravel.
{string} Fronts = ...;

// Tonnes each quarry can load out this month.
float supply[Quarries] = ...;

// Tonnes each work front needs this month.
float need[Fronts] = ...;

// Haulage cost per tonne from each quarry to each front, in dollars.
float costPerTonne[Quarries][Fronts] = ...;

// Tonnes hauled from quarry q to front f.
dvar float+ haul[Quarries][Fronts];

// Objective: the haulage bill.
minimize haulageBill: sum(q in Quarries, f in Fronts) costPerTonne[q][f] * haul[q][f];

subject to {
  // A quarry ships no more than it can load out.
  forall(q in Quarries)
    quarryOutput: sum(f in Fronts) haul[q][f] <= supply[q];

  // A front receives at least what it needs.
  forall(f in Fronts)
    frontNeed: sum(q in Quarries) haul[q][f] >= need[f];
}
