{string} Factories = ...;
{string} Depots = ...;
{string} Stores = ...;
float make[Factories] = ...;
float need[Stores] = ...;
float handle = ...;
float inCost[Factories][Depots] = ...;
float outCost[Depots][Stores] = ...;
dvar float+ inbound[Factories][Depots];
dvar float+ outbound[Depots][Stores];
minimize cost: sum(f in Factories, d in Depots) inCost[f][d] * inbound[f][d]
             + sum(d in Depots, s in Stores) outCost[d][s] * outbound[d][s];
subject to {
  forall(f in Factories) capacity: sum(d in Depots) inbound[f][d] <= make[f];
  forall(d in Depots) through: sum(f in Factories) inbound[f][d] == sum(s in Stores) outbound[d][s];
  forall(d in Depots) limit: sum(f in Factories) inbound[f][d] <= handle;
  forall(s in Stores) demand: sum(d in Depots) outbound[d][s] >= need[s];
}
