/*********************************************************************
 * Appliance network (transshipment problem)
 *
 * Goods flow from plants through cross-docks to stores over lanes with
 * a unit cost and a capacity. Every node balances: what leaves minus
 * what arrives equals its net supply (positive at plants, negative at
 * stores, zero at cross-docks). Minimise the total shipping cost.
 *********************************************************************/

// All locations of the network: plants, cross-docks and stores.
{string} Nodes = ...;

// A lane from one location to another.
tuple Lane {
  string origin;       // where the lane starts
  string destination;  // where the lane ends
}

// The lanes that may be used.
{Lane} Lanes = ...;

// Net supply of each node: units produced (positive) or ordered (negative).
float netSupply[Nodes] = ...;

// Cost per unit on each lane.
float unitCost[Lanes] = ...;

// Most units a lane takes in a week.
float laneCapacity[Lanes] = ...;

// Units moved on each lane.
dvar float+ flow[Lanes];

// Objective: total shipping cost.
minimize shippingCost: sum(l in Lanes) unitCost[l] * flow[l];

subject to {
  // Flow balance at every node: outflow minus inflow equals net supply.
  forall(n in Nodes)
    nodeBalance:
      sum(l in Lanes: l.origin == n) flow[l] - sum(l in Lanes: l.destination == n) flow[l] == netSupply[n];

  // No lane carries more than its weekly capacity.
  forall(l in Lanes)
    laneLimit: flow[l] <= laneCapacity[l];
}
