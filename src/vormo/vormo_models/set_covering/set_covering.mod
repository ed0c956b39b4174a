/*********************************************************************
 * Ambulance posts (set covering)
 *
 * Candidate sites each reach a known group of neighbourhoods in time.
 * Open a set of sites so that every neighbourhood is reached by at
 * least one open site, at the lowest yearly cost.
 *********************************************************************/

// Candidate buildings for an ambulance post.
{string} Sites = ...;

// Neighbourhoods that need coverage.
{string} Areas = ...;

// Yearly cost of opening each site, in thousands of euros.
float openCost[Sites] = ...;

// reaches[s][a] is 1 when site s reaches area a within the target time.
boolean reaches[Sites][Areas] = ...;

// open[s] is 1 when a post is opened at site s.
dvar boolean open[Sites];

// Objective: the yearly cost of the opened posts.
minimize yearlyCost: sum(s in Sites) openCost[s] * open[s];

subject to {
  // Every neighbourhood is reached by at least one opened post.
  forall(a in Areas)
    coverArea: sum(s in Sites: reaches[s][a] == 1) open[s] >= 1;
}
