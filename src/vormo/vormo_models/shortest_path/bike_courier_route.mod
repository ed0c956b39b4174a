/*********************************************************************
 * Shortest path as a network flow
 *
 * One unit of flow leaves the start, enters the finish, and is
 * conserved everywhere else; the cost of a street is its riding time.
 * The constraint matrix of this flow problem is totally unimodular,
 * so the continuous variables in 0..1 take 0/1 values at an optimal
 * vertex and the streets with value 1 form a fastest route.
 *********************************************************************/

// A street that can be ridden from one spot to another, with its time.
tuple Street {
  string fromSpot;
  string toSpot;
  float minutes;
}

// Spots of the city map.
{string} Spots = ...;

// Rideable streets (a two-way street appears once per direction).
{Street} Streets = ...;

// Pick-up and drop-off spots.
string start = ...;
string finish = ...;

// used[s] = 1 when the route rides street s.
dvar float used[Streets] in 0..1;

// Objective: total riding time of the route.
minimize ridingTime: sum(s in Streets) s.minutes * used[s];

subject to {
  // One more street leaves the start than enters it.
  leaveStart: sum(s in Streets: s.fromSpot == start) used[s]
            - sum(s in Streets: s.toSpot == start) used[s] == 1;

  // One more street enters the finish than leaves it.
  reachFinish: sum(s in Streets: s.toSpot == finish) used[s]
             - sum(s in Streets: s.fromSpot == finish) used[s] == 1;

  // Every other spot is passed through: in equals out.
  forall(p in Spots: p != start && p != finish)
    passThrough: sum(s in Streets: s.toSpot == p) used[s]
               == sum(s in Streets: s.fromSpot == p) used[s];
}
