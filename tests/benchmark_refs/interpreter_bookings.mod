{string} People = ...;
{string} Cities = ...;
float cost[People][Cities] = ...;
dvar boolean go[People][Cities];
minimize total: sum(p in People, c in Cities) cost[p][c] * go[p][c];
subject to {
  forall(p in People) onePerPerson: sum(c in Cities) go[p][c] == 1;
  forall(c in Cities) onePerCity: sum(p in People) go[p][c] == 1;
}
