/*********************************************************************
 * Edge server sites (capacitated facility location, single sourcing)
 *
 * Candidate sites have a monthly cost and a request capacity. Every
 * customer region is served by exactly one open site within a latency
 * limit. At most a given number of sites may run. Minimise monthly
 * site cost plus a charge on demand-weighted latency.
 *********************************************************************/

// A candidate site with its monthly cost and capacity.
tuple Site {
  string name;      // site identifier
  float monthly;    // monthly running cost
  float capacity;   // thousand requests per second it can absorb
}

// Candidate sites.
{Site} Sites = ...;

// Customer regions.
{string} Regions = ...;

// Load of each region in thousand requests per second.
float load[Regions] = ...;

// Round-trip latency from each site to each region in milliseconds.
float latency[Sites][Regions] = ...;

// Highest latency allowed between a region and its serving site.
float maxLatency = ...;

// Charge per thousand requests per second per millisecond of latency.
float latencyCharge = ...;

// Largest number of sites that may run.
int maxSites = ...;

// open[s] is 1 when site s runs.
dvar boolean open[Sites];

// serve[s][r] is 1 when site s serves region r.
dvar boolean serve[Sites][Regions];

// Objective: monthly site cost plus the latency charge.
minimize monthlyCost:
  sum(s in Sites) s.monthly * open[s]
  + latencyCharge * sum(s in Sites, r in Regions) load[r] * latency[s][r] * serve[s][r];

subject to {
  // Each region is served by exactly one site.
  forall(r in Regions)
    singleSource: sum(s in Sites) serve[s][r] == 1;

  // The load served at a site fits its capacity; closed sites serve nothing.
  forall(s in Sites)
    siteCapacity: sum(r in Regions) load[r] * serve[s][r] <= s.capacity * open[s];

  // Pairs beyond the latency limit are not used.
  forall(s in Sites, r in Regions: latency[s][r] > maxLatency)
    tooSlow: serve[s][r] == 0;

  // Budget rule on the number of sites.
  siteBudget: sum(s in Sites) open[s] <= maxSites;
}
