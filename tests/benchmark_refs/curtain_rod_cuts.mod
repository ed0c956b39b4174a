{string} Pieces = ...;
float len[Pieces] = ...;
int need[Pieces] = ...;
float rodLength = ...;
int maxRods = ...;
range Rods = 1..maxRods;
dvar int+ cut[Rods][Pieces];
dvar boolean use[Rods];
minimize rods: sum(r in Rods) use[r];
subject to {
  forall(r in Rods) length: sum(p in Pieces) len[p] * cut[r][p] <= rodLength * use[r];
  forall(p in Pieces) demand: sum(r in Rods) cut[r][p] >= need[p];
  forall(r in Rods: r > 1) order: use[r] <= use[r - 1];
}
