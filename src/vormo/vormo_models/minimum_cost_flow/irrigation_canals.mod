/*********************************************************************
 * Minimum-cost flow with supplies, demands and transit nodes
 *
 * Water leaves reservoirs (supply nodes, with a release limit),
 * passes through pumping stations (transit nodes) and reaches
 * districts (demand nodes). Every canal has a capacity and a cost per
 * unit. Node balances are written with a signed net supply: positive
 * at reservoirs (an upper limit on release), negative at districts
 * (the exact demand), zero at stations.
 *********************************************************************/

// A one-way canal with its weekly capacity and unit pumping cost.
tuple Canal {
  string origin;
  string destination;
  float capacity;
  float unitCost;
}

// All nodes of the network.
{string} Nodes = ...;

// Canals of the network.
{Canal} Canals = ...;

// netSupply[n] > 0: most water node n can release; < 0: demand of
// node n; 0: pure transit node. In thousand cubic metres.
float netSupply[Nodes] = ...;

// water[c] = thousand cubic metres sent through canal c.
dvar float+ water[Canals];

// Objective: total pumping cost.
minimize pumpingCost: sum(c in Canals) c.unitCost * water[c];

subject to {
  // Canal capacities.
  forall(c in Canals)
    canalCapacity: water[c] <= c.capacity;

  // Sources release at most their net supply.
  forall(n in Nodes: netSupply[n] > 0)
    releaseLimit: sum(c in Canals: c.origin == n) water[c]
                - sum(c in Canals: c.destination == n) water[c] <= netSupply[n];

  // Districts receive exactly their demand, stations pass everything on.
  forall(n in Nodes: netSupply[n] <= 0)
    balance: sum(c in Canals: c.destination == n) water[c]
           - sum(c in Canals: c.origin == n) water[c] == -netSupply[n];
}
