/*********************************************************************
 * School bus routes (set partitioning)
 *
 * Each drafted route serves a group of pick-up stops at a daily cost.
 * Choose routes so that every stop is served by exactly one chosen
 * route, with no more routes than there are buses, at least cost.
 *********************************************************************/

// Number of pick-up stops and of drafted routes.
int nStops = ...;
int nRoutes = ...;

// Stops and routes are numbered from 1.
range Stops = 1..nStops;
range Routes = 1..nRoutes;

// Daily running cost of each route in euros.
float routeCost[Routes] = ...;

// serves[r][s] is 1 when route r calls at stop s.
int serves[Routes][Stops] = ...;

// Buses (with drivers) available each morning.
int buses = ...;

// run[r] is 1 when route r is operated.
dvar boolean run[Routes];

// Objective: the daily cost of the operated routes.
minimize dailyCost: sum(r in Routes) routeCost[r] * run[r];

subject to {
  // Each stop is served by exactly one operated route.
  forall(s in Stops)
    exactlyOnce: sum(r in Routes) serves[r][s] * run[r] == 1;

  // One bus per operated route.
  busLimit: sum(r in Routes) run[r] <= buses;
}
