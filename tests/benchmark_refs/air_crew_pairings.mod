{string} Pairings = ...;
range Legs = 1..6;
float cost[Pairings] = ...;
int covers[Pairings][Legs] = ...;
dvar boolean use[Pairings];
minimize total: sum(p in Pairings) cost[p] * use[p];
subject to {
  forall(l in Legs) exactlyOnce: sum(p in Pairings) covers[p][l] * use[p] == 1;
}
