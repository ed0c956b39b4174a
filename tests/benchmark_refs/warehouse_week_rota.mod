range Days = 1..7;
float need[Days] = ...;
dvar int+ starters[Days];
minimize staff: sum(d in Days) starters[d];
subject to {
  forall(d in Days)
    cover: sum(s in Days: (d - s + 7) - 7 * ((d - s + 7) >= 7) <= 4) starters[s] >= need[d];
}
