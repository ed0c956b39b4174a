/*********************************************************************
 * Minimum-cost flow on a node-by-node matrix of links
 *
 * Yards are numbered; a link from yard i to yard j exists when its
 * capacity in the data is positive. Each yard has a signed balance:
 * positive for surplus wagons to send, negative for wagons needed,
 * zero for a junction. Flows are whole wagons.
 *********************************************************************/

// Number of yards.
int nbYards = ...;
range Yards = 1..nbYards;

// balance[i] = surplus (positive) or shortfall (negative) of yard i.
int balance[Yards] = ...;

// slots[i][j] = free wagon slots on the link from i to j (0 = no link).
int slots[Yards][Yards] = ...;

// cost[i][j] = cost of moving one wagon from i to j (hundreds of euros).
float cost[Yards][Yards] = ...;

// moved[i][j] = empty wagons sent from yard i to yard j.
dvar int+ moved[Yards][Yards];

// Objective: total repositioning cost over the existing links.
minimize repositioningCost:
  sum(i in Yards, j in Yards: slots[i][j] > 0) cost[i][j] * moved[i][j];

subject to {
  // Wagons move only over links that exist, within the free slots.
  forall(i in Yards, j in Yards)
    linkCapacity: moved[i][j] <= slots[i][j];

  // Flow out minus flow in equals the balance of each yard.
  forall(i in Yards)
    yardBalance: sum(j in Yards: slots[i][j] > 0) moved[i][j]
               - sum(j in Yards: slots[j][i] > 0) moved[j][i] == balance[i];
}
