int n = ...;
range Stops = 1..n;
float minutes[Stops][Stops] = ...;
dvar boolean next[Stops][Stops];
dvar float+ order[Stops] in 0..n;
minimize drive: sum(i in Stops, j in Stops: i != j) minutes[i][j] * next[i][j];
subject to {
  forall(i in Stops) leave: sum(j in Stops: j != i) next[i][j] == 1;
  forall(j in Stops) arrive: sum(i in Stops: i != j) next[i][j] == 1;
  forall(i in Stops) noSelf: next[i][i] == 0;
  forall(i in Stops, j in Stops: i > 1 && j > 1 && i != j)
    noSubtour: order[i] - order[j] + n * next[i][j] <= n - 1;
}
