{string} Spots = ...;
{string} Areas = ...;
float running[Spots] = ...;
float serve[Areas][Spots] = ...;
dvar boolean open[Spots];
dvar boolean assign[Areas][Spots];
minimize total: sum(s in Spots) running[s] * open[s] + sum(a in Areas, s in Spots) serve[a][s] * assign[a][s];
subject to {
  forall(a in Areas) one: sum(s in Spots) assign[a][s] == 1;
  forall(a in Areas, s in Spots) onlyOpen: assign[a][s] <= open[s];
}
