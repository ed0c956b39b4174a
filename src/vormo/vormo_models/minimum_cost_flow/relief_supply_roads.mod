/*********************************************************************
 * Relief supplies from one depot to villages over a road network
 *
 * Tonnes of supplies move along one-way road legs from the depot,
 * through junctions, to the villages; each village receives what it
 * needs. A leg carries at most the truck trips allowed on it times
 * the truck load, in whole tonnes. Long mountain legs share a limit on
 * the tonnes they carry. We minimise the tonne-kilometres driven.
 *********************************************************************/

// A one-way road leg: its ends, its length (km) and the trips allowed on it.
tuple Leg {
  string from;
  string to;
  float km;
  int trips;
}

// Every place of the network, the depot, and the villages to supply.
{string} Places = ...;
string depot = ...;
{string} Villages = ...;

// Junctions: places that are neither the depot nor a village.
{string} Junctions = Places diff Villages diff {depot};

// Places where what arrives must balance what leaves and is received.
{string} Receivers = Villages union Junctions;

// Road legs of the network.
{Leg} Legs = ...;

// Tonnes one truck carries, and tonnes each village needs.
float truckLoad = ...;
float need[Villages] = ...;

// Tonnes received at each place: a village's need, nothing at a junction.
float received[p in Receivers] = p in Villages ? need[p] : 0;

// Mountain legs (at least mountainKm long) and the tonnes they may carry together.
float mountainKm = ...;
{Leg} Mountain = {l | l in Legs: l.km >= mountainKm};
float mountainLimit = ...;

// tonnes[l] = tonnes carried on leg l, within its trips times the load, rounded down.
dvar float+ tonnes[l in Legs] in 0..floor(l.trips * truckLoad);

// Objective: tonne-kilometres driven.
minimize tonneKm: sum(l in Legs) l.km * tonnes[l];

subject to {
  // What arrives at a place equals what leaves it plus what it receives.
  forall(p in Receivers)
    balance: sum(l in Legs: l.to == p) tonnes[l] - sum(l in Legs: l.from == p) tonnes[l] == received[p];
  // Mountain legs share their limit.
  mountainCap: sum(l in Mountain) tonnes[l] <= mountainLimit;
}
