/*********************************************************************
 * Travelling salesman tour with order-position subtour elimination
 *
 * Choose one outgoing and one incoming road for every town so that
 * the chosen roads form a single round trip from the home town.
 * Subtours that avoid home are ruled out by giving every other town a
 * position in the visiting order: a road from i to j (both away from
 * home) forces j to come after i, which no cycle can satisfy.
 *********************************************************************/

// Towns to visit, home town included.
{string} Towns = ...;

// Home town where the tour starts and ends.
string home = ...;

// dist[i][j] = road distance in km from town i to town j.
float dist[Towns][Towns] = ...;

// Number of towns (derived).
int nbTowns = card(Towns);

// drive[i][j] = 1 when the tour drives directly from i to j.
dvar boolean drive[Towns][Towns];

// position[i] = place of town i in the visiting order after home.
dvar float position[Towns] in 1..nbTowns - 1;

// Objective: total kilometres driven.
minimize totalKm: sum(i in Towns, j in Towns: i != j) dist[i][j] * drive[i][j];

subject to {
  // No road from a town to itself.
  forall(i in Towns)
    noSelfLoop: drive[i][i] == 0;

  // Leave every town exactly once.
  forall(i in Towns)
    leaveOnce: sum(j in Towns: j != i) drive[i][j] == 1;

  // Arrive in every town exactly once.
  forall(j in Towns)
    arriveOnce: sum(i in Towns: i != j) drive[i][j] == 1;

  // Order positions: driving from i to j puts j at least one place
  // after i (only between towns other than home).
  forall(i in Towns, j in Towns: i != j && i != home && j != home)
    orderPositions: position[i] - position[j] + (nbTowns - 1) * drive[i][j] <= nbTowns - 2;
}
