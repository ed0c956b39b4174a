{string} Farms = ...;
{string} Factories = ...;
float supply[Farms] = ...;
float need[Factories] = ...;
float cost[Farms][Factories] = ...;
dvar float+ send[Farms][Factories];
minimize haulage: sum(f in Farms, g in Factories) cost[f][g] * send[f][g];
subject to {
  forall(f in Farms) available: sum(g in Factories) send[f][g] <= supply[f];
  forall(g in Factories) required: sum(f in Farms) send[f][g] >= need[g];
}
