/*********************************************************************
 * Cutting stock with a fixed list of cutting patterns
 *
 * Wide jumbo rolls are slit into narrower customer rolls. The mill
 * uses a fixed set of knife settings (patterns); each pattern yields a
 * known number of rolls of every width. We decide how many jumbo rolls
 * to cut with each pattern so that every ordered width is produced in
 * at least the ordered quantity, using as few jumbo rolls as possible.
 *
 * The ordered widths are themselves the index set, so the width of a
 * roll is simply the set element.
 *********************************************************************/

// Width of a jumbo roll in cm.
int rollWidth = ...;

// Ordered widths in cm.
{int} Widths = ...;

// Rolls ordered of each width.
int ordered[Widths] = ...;

// Knife settings available on the slitter.
{string} Patterns = ...;

// cuts[p][w] = rolls of width w obtained from one jumbo cut with pattern p.
int cuts[Patterns][Widths] = ...;

// Trim left at the edge of a jumbo roll for each pattern (derived data).
int trim[p in Patterns] = rollWidth - sum(w in Widths) w * cuts[p][w];

// jumbos[p] = jumbo rolls cut with pattern p.
dvar int+ jumbos[Patterns];

// Objective: the number of jumbo rolls used.
minimize jumboRolls: sum(p in Patterns) jumbos[p];

subject to {
  // Each pattern must physically fit across the jumbo roll.
  forall(p in Patterns: trim[p] < 0)
    patternFits: jumbos[p] == 0;

  // Every width is produced in at least the ordered quantity.
  forall(w in Widths)
    fillOrder: sum(p in Patterns) cuts[p][w] * jumbos[p] >= ordered[w];
}
