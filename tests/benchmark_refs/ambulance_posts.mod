{string} Sites = ...;
{string} Districts = ...;
float cost[Sites] = ...;
int reach[Sites][Districts] = ...;
dvar boolean build[Sites];
minimize total: sum(s in Sites) cost[s] * build[s];
subject to {
  forall(d in Districts) covered: sum(s in Sites) reach[s][d] * build[s] >= 1;
}
