int nJobs = ...;
range Jobs = 1..nJobs;
{string} Presses = ...;
float hours[Jobs] = ...;
dvar boolean on[Jobs][Presses];
dvar float+ makespan;
minimize finish: makespan;
subject to {
  forall(j in Jobs) assigned: sum(p in Presses) on[j][p] == 1;
  forall(p in Presses) load: sum(j in Jobs) hours[j] * on[j][p] <= makespan;
}
