/*********************************************************************
 * Maximum flow through a road network
 *
 * Vehicles move from a source node to a sink node over one-way roads,
 * each with an hourly capacity. At every intermediate junction the
 * inflow equals the outflow. The model maximises the net flow leaving
 * the source, which equals the flow arriving at the sink.
 *********************************************************************/

// A one-way road with its capacity in vehicles per hour.
tuple Road {
  string tail;
  string head;
  float capacity;
}

// Places in the network: junctions plus the source and the sink.
{string} Places = ...;

// Roads of the network.
{Road} Roads = ...;

// Where the evacuation starts and where it ends.
string source = ...;
string sink = ...;

// flow[r] = vehicles per hour sent along road r, within its capacity.
dvar float+ flow[Roads];

// Net flow out of the source.
dexpr float throughput = sum(r in Roads: r.tail == source) flow[r]
                       - sum(r in Roads: r.head == source) flow[r];

// Objective: the largest evacuation rate.
maximize evacuationRate: throughput;

subject to {
  // No road carries more than its capacity.
  forall(r in Roads)
    roadCapacity: flow[r] <= r.capacity;

  // Conservation at every junction other than source and sink.
  forall(p in Places: p != source && p != sink)
    conservation: sum(r in Roads: r.head == p) flow[r] == sum(r in Roads: r.tail == p) flow[r];
}
