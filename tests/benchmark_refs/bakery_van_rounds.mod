int nCafes = ...;
range Nodes = 0..nCafes;
range Cafes = 1..nCafes;
float dist[Nodes][Nodes] = ...;
float order[Cafes] = ...;
float capacity = ...;
int vans = ...;
dvar boolean arc[Nodes][Nodes];
dvar float+ load[Cafes];
minimize km: sum(i in Nodes, j in Nodes: i != j) dist[i][j] * arc[i][j];
subject to {
  forall(j in Cafes) inOnce: sum(i in Nodes: i != j) arc[i][j] == 1;
  forall(i in Cafes) outOnce: sum(j in Nodes: j != i) arc[i][j] == 1;
  forall(i in Nodes) noLoop: arc[i][i] == 0;
  fleet: sum(j in Cafes) arc[0][j] <= vans;
  balanceDepot: sum(j in Cafes) arc[0][j] == sum(i in Cafes) arc[i][0];
  forall(j in Cafes) {
    atLeast: load[j] >= order[j];
    atMost: load[j] <= capacity;
  }
  forall(i in Cafes, j in Cafes: i != j)
    carry: load[j] >= load[i] + order[j] - capacity * (1 - arc[i][j]);
}
