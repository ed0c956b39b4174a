/*********************************************************************
 * Maximum flow with pipe capacities and node (station) limits
 *
 * Nodes are numbered; a pipe from i to j exists when its capacity in
 * the capacity matrix is positive. Flow is conserved at every node
 * except the terminal (source) and the city gate (sink). Compressor
 * stations add a limit on the total flow through their node. The
 * model maximises the flow arriving at the city gate.
 *********************************************************************/

// A compressor station: its node and the most gas it can pass per day.
tuple Station {
  int node;
  float limit;
}

// Number of nodes in the grid.
int nbNodes = ...;
range Nodes = 1..nbNodes;

// Terminal (where gas enters) and city gate (where it leaves).
int terminal = ...;
int cityGate = ...;

// capacity[i][j] = pipe capacity from node i to node j (0 = no pipe),
// in million cubic metres per day.
float capacity[Nodes][Nodes] = ...;

// Compressor stations and their limits.
{Station} Stations = ...;

// flow[i][j] = gas sent from node i to node j per day. The bound only
// states non-negativity; the pipe capacities are constraints below.
dvar float flow[Nodes][Nodes] in 0..infinity;

// Objective: gas delivered to the city gate per day.
maximize delivered: sum(i in Nodes) flow[i][cityGate] - sum(j in Nodes) flow[cityGate][j];

subject to {
  // Every ordered pair of nodes: flow within the pipe capacity (zero
  // where there is no pipe).
  forall(i in Nodes)
    forall(j in Nodes)
      pipeCapacity: flow[i][j] <= capacity[i][j];

  // Conservation at every junction.
  forall(k in Nodes: k != terminal && k != cityGate)
    conservation: sum(i in Nodes) flow[i][k] == sum(j in Nodes) flow[k][j];

  // Compressor stations pass no more than their limit.
  forall(s in Stations)
    stationLimit: sum(i in Nodes) flow[i][s.node] <= s.limit;
}
