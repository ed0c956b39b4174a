/*********************************************************************
 * Courier depots (uncapacitated facility location)
 *
 * Depots and customers lie on a street grid; travel distance is the
 * rectilinear (east-west plus north-south) distance. Open depots cost
 * a fixed weekly amount and have no capacity limit. Every customer is
 * served by open depots. Minimise depot cost plus delivery cost.
 *********************************************************************/

// Number of candidate depots and of customers.
int nDepots = ...;
int nCustomers = ...;

// Depots and customers are numbered from 1.
range Depots = 1..nDepots;
range Customers = 1..nCustomers;

// Grid coordinates of the depots (km).
float depotX[Depots] = ...;
float depotY[Depots] = ...;

// Grid coordinates of the customers (km).
float custX[Customers] = ...;
float custY[Customers] = ...;

// Weekly cost of keeping each depot open.
float fixedCost[Depots] = ...;

// Deliveries each customer takes per week.
float deliveries[Customers] = ...;

// Cost of one delivery per kilometre driven.
float costPerKm = ...;

// Street distance between each depot and each customer, computed from the grid.
float dist[d in Depots][c in Customers] = abs(depotX[d] - custX[c]) + abs(depotY[d] - custY[c]);

// open[d] is 1 when depot d stays open.
dvar boolean open[Depots];

// Share of customer c's deliveries made from depot d (0 to 1). Without
// capacities an optimal plan serves each customer from one depot anyway.
dvar float serve[Depots][Customers] in 0..1;

// Objective: weekly depot cost plus delivery cost.
minimize weeklyCost:
  sum(d in Depots) fixedCost[d] * open[d]
  + sum(d in Depots, c in Customers) costPerKm * deliveries[c] * dist[d][c] * serve[d][c];

subject to {
  // Every customer's deliveries are fully served.
  forall(c in Customers)
    fullyServed: sum(d in Depots) serve[d][c] == 1;

  // Only open depots serve customers.
  forall(d in Depots, c in Customers)
    onlyOpenDepots: serve[d][c] <= open[d];
}
