/*********************************************************************
 * Single-machine scheduling with release dates, weighted tardiness
 *
 * Jobs run one at a time without interruption. For every pair of jobs
 * a binary variable decides which one goes first; two big-M
 * constraints then separate their processing intervals in that order
 * and are switched off otherwise. The big-M value is a safe horizon:
 * the latest release date plus all processing times.
 *********************************************************************/

// Number of jobs.
int nbJobs = ...;
range Jobs = 1..nbJobs;

// Processing time, release time, due time (hours) and priority weight.
float procTime[Jobs] = ...;
float release[Jobs] = ...;
float due[Jobs] = ...;
float weight[Jobs] = ...;

// Horizon used as big-M (derived data).
float bigM = max(j in Jobs) release[j] + sum(j in Jobs) procTime[j];

// start[j] = hour at which job j starts on the press.
dvar float+ start[Jobs];

// late[j] = hours by which job j misses its due time (0 if on time).
dvar float+ late[Jobs];

// first[i][j] = 1 when job i runs before job j (used only for i < j).
dvar boolean first[Jobs][Jobs];

// Objective: total weighted lateness.
minimize weightedLateness: sum(j in Jobs) weight[j] * late[j];

subject to {
  // A job cannot start before its files are ready.
  forall(j in Jobs)
    releaseTime: start[j] >= release[j];

  // Lateness is at least the finish time past the due time.
  forall(j in Jobs)
    lateness: late[j] >= start[j] + procTime[j] - due[j];

  // For every pair, one job finishes before the other starts.
  forall(i in Jobs, j in Jobs: i < j) {
    iBeforeJ: start[j] >= start[i] + procTime[i] - bigM * (1 - first[i][j]);
    jBeforeI: start[i] >= start[j] + procTime[j] - bigM * first[i][j];
  }
}
