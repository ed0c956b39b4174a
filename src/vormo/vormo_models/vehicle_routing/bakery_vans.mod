/*********************************************************************
 * Capacitated vehicle routing for a handful of customers
 *
 * Node 0 is the depot, nodes 1..n are customers with a demand. Arc
 * variables choose the legs driven. Every customer is entered and left
 * once; the number of vans leaving the depot is at most the fleet.
 *
 * A load variable records the crates delivered so far on a van when
 * it leaves a node. Driving from i to a customer j raises the load by
 * j's demand (big-M form, switched off when the leg is not driven).
 * This keeps every van within its capacity and also rules out loops
 * that never return to the depot, since loads cannot keep increasing
 * around a cycle.
 *********************************************************************/

// Number of customers; the depot is node 0.
int nbCustomers = ...;
range Customers = 1..nbCustomers;
range Nodes = 0..nbCustomers;

// Crates ordered by each customer.
int demand[Customers] = ...;

// Capacity of one van in crates, and number of vans available.
int vanCapacity = ...;
int nbVans = ...;

// driveTime[i][j] = minutes from node i to node j.
float driveTime[Nodes][Nodes] = ...;

// leg[i][j] = 1 when some van drives directly from i to j.
dvar boolean leg[Nodes][Nodes];

// load[i] = crates delivered by the van up to and including node i.
dvar float load[Nodes] in 0..vanCapacity;

// Objective: the total driving time of all vans.
minimize totalDriving: sum(i in Nodes, j in Nodes: i != j) driveTime[i][j] * leg[i][j];

subject to {
  // No leg from a node to itself.
  forall(i in Nodes)
    noSelfLeg: leg[i][i] == 0;

  // Every customer is visited exactly once.
  forall(j in Customers) {
    enterOnce: sum(i in Nodes: i != j) leg[i][j] == 1;
    leaveOnce: sum(k in Nodes: k != j) leg[j][k] == 1;
  }

  // Vans leaving the depot come back, and no more vans than we own.
  depotBalance: sum(j in Customers) leg[0][j] == sum(i in Customers) leg[i][0];
  fleetSize: sum(j in Customers) leg[0][j] <= nbVans;

  // Deliveries are counted from zero at the depot.
  depotLoad: load[0] == 0;

  // Loads grow along a route by the demand of the next customer.
  forall(i in Nodes, j in Customers: i != j)
    loadGrowth: load[j] >= load[i] + demand[j] - vanCapacity * (1 - leg[i][j]);

  // The load after a customer includes at least its own order.
  forall(j in Customers)
    ownOrder: load[j] >= demand[j];
}
