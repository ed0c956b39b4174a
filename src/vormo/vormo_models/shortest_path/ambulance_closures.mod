/*********************************************************************
 * Shortest path on two-way streets with directional closures
 *
 * Each street is listed once and may be driven in both directions, so
 * the model has one flow variable per street and direction. Closures
 * are kept as a separate list of (from, to) pairs; a direction listed
 * there is forced to zero, picked out by a tuple membership test in
 * the constraint filter. One unit of flow leaves the station and is
 * passed on by every other place except the hospital, which therefore
 * receives it; the streets carrying it form the fastest open route.
 *********************************************************************/

// A street between two places with its driving time in minutes.
tuple Street {
  string endA;
  string endB;
  float minutes;
}

// A closed driving direction.
tuple Closure {
  string fromPlace;
  string toPlace;
}

// Places in the old town.
{string} Places = ...;

// Streets (each listed once, drivable both ways unless closed).
{Street} Streets = ...;

// Directions closed for the festival.
{Closure} Closures = ...;

// Where the ambulance starts and where it must arrive.
string station = ...;
string hospital = ...;

// ab[s] = 1 when the route drives street s from endA to endB,
// ba[s] = 1 when it drives from endB to endA.
dvar float ab[Streets] in 0..1;
dvar float ba[Streets] in 0..1;

// Objective: total driving time.
minimize travelMinutes: sum(s in Streets) s.minutes * (ab[s] + ba[s]);

subject to {
  // Closed directions carry no traffic.
  forall(s in Streets: <s.endA, s.endB> in Closures)
    closedForward: ab[s] == 0;
  forall(s in Streets: <s.endB, s.endA> in Closures)
    closedBackward: ba[s] == 0;

  // The route leaves the station once more than it enters it.
  leaveStation: sum(s in Streets: s.endA == station) ab[s] + sum(s in Streets: s.endB == station) ba[s]
              - sum(s in Streets: s.endB == station) ab[s] - sum(s in Streets: s.endA == station) ba[s] == 1;

  // Every place other than station and hospital is passed through.
  forall(p in Places: p != station && p != hospital)
    passThrough: sum(s in Streets: s.endA == p) ab[s] + sum(s in Streets: s.endB == p) ba[s]
               == sum(s in Streets: s.endB == p) ab[s] + sum(s in Streets: s.endA == p) ba[s];
}
