{string} Sites = ...;
{string} Shops = ...;
float rent[Sites] = ...;
float capacity[Sites] = ...;
float need[Shops] = ...;
float cost[Sites][Shops] = ...;
dvar boolean open[Sites];
dvar float+ ship[Sites][Shops];
minimize total: sum(s in Sites) rent[s] * open[s] + sum(s in Sites, m in Shops) cost[s][m] * ship[s][m];
subject to {
  forall(s in Sites) cap: sum(m in Shops) ship[s][m] <= capacity[s] * open[s];
  forall(m in Shops) demand: sum(s in Sites) ship[s][m] >= need[m];
}
