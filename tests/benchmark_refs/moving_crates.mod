int nItems = ...;
int nCrates = ...;
range Items = 1..nItems;
range Crates = 1..nCrates;
float weight[Items] = ...;
float capacity = ...;
dvar boolean put[Items][Crates];
dvar boolean used[Crates];
minimize crates: sum(c in Crates) used[c];
subject to {
  forall(i in Items) placed: sum(c in Crates) put[i][c] == 1;
  forall(c in Crates) fits: sum(i in Items) weight[i] * put[i][c] <= capacity * used[c];
}
