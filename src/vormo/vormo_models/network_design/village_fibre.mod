/*********************************************************************
 * Fixed-charge network design with capacitated undirected links
 *
 * Candidate links can be built at a fixed cost. Bandwidth flows from
 * the hub to every village through built links only, in either
 * direction, and the two directions of a link share its capacity.
 * Flow conservation gives every village its demand. The build
 * decision multiplies the capacity, so an unbuilt link carries
 * nothing; the total build cost is minimised.
 *********************************************************************/

// A candidate cable route between two sites, its build cost
// (thousands of pounds) and its capacity (Mbps).
tuple Route {
  string endA;
  string endB;
  float buildCost;
  float capacity;
}

// Sites of the network: the hub and the villages.
{string} Sites = ...;

// The site where all bandwidth comes from.
string hub = ...;

// Bandwidth each site must receive (0 for the hub).
float demand[Sites] = ...;

// Candidate routes.
{Route} Routes = ...;

// build[r] = 1 when route r is laid.
dvar boolean build[Routes];

// forward[r] = Mbps sent from endA to endB, backward[r] from endB to endA.
dvar float+ forward[Routes];
dvar float+ backward[Routes];

// Objective: the total build cost.
minimize buildBudget: sum(r in Routes) r.buildCost * build[r];

subject to {
  // Both directions together stay within the capacity of a built route.
  forall(r in Routes)
    routeCapacity: forward[r] + backward[r] <= r.capacity * build[r];

  // Every site other than the hub receives its demand: what flows in
  // minus what flows out.
  forall(s in Sites: s != hub)
    meetDemand: sum(r in Routes: r.endB == s) forward[r] + sum(r in Routes: r.endA == s) backward[r]
              - sum(r in Routes: r.endA == s) forward[r] - sum(r in Routes: r.endB == s) backward[r]
              == demand[s];
}
