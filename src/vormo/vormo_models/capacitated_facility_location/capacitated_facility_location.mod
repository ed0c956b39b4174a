/*********************************************************************
 * Seasonal warehouses (capacitated facility location)
 *
 * Candidate warehouses have a fixed lease cost and a pallet capacity.
 * Store regions have a demand that must be met in full, possibly from
 * several warehouses. Choose which warehouses to lease and the pallet
 * flows so that lease plus haulage cost is minimal.
 *********************************************************************/

// Candidate warehouses.
{string} Warehouses = ...;

// Store regions to supply.
{string} Regions = ...;

// Seasonal lease of each warehouse in pounds.
float lease[Warehouses] = ...;

// Pallets each warehouse can handle in the season.
float capacity[Warehouses] = ...;

// Pallets each region needs in the season.
float demand[Regions] = ...;

// Haulage cost per pallet from a warehouse to a region, in pounds.
float haulage[Warehouses][Regions] = ...;

// open[w] is 1 when warehouse w is leased for the season.
dvar boolean open[Warehouses];

// Pallets sent from warehouse w to region r.
dvar float+ ship[Warehouses][Regions];

// Lease and haulage parts of the cost.
dexpr float leaseCost = sum(w in Warehouses) lease[w] * open[w];
dexpr float haulageCost = sum(w in Warehouses, r in Regions) haulage[w][r] * ship[w][r];

// Objective: total seasonal cost.
minimize totalCost: leaseCost + haulageCost;

subject to {
  // Each region receives exactly its demand.
  forall(r in Regions)
    meetDemand: sum(w in Warehouses) ship[w][r] == demand[r];

  // A leased warehouse ships at most its capacity; an unleased one ships nothing.
  forall(w in Warehouses)
    warehouseCapacity: sum(r in Regions) ship[w][r] <= capacity[w] * open[w];

  // Tightening: no single flow exceeds the region's demand, and only from leased sites.
  forall(w in Warehouses)
    forall(r in Regions)
      flowIfOpen: ship[w][r] <= demand[r] * open[w];
}
