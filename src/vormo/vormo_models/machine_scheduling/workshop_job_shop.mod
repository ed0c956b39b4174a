/*********************************************************************
 * Job shop scheduling with disjunctive big-M constraints
 *
 * Each job is a chain of operations, each on a given machine with a
 * given duration. Operations of one job follow their step order.
 * Two operations that need the same machine may not overlap: a binary
 * variable picks which of them goes first and big-M constraints
 * enforce that order. The makespan (end of the last operation) is
 * minimised. The sum of all durations is a safe big-M.
 *********************************************************************/

// An operation: its job, its step number within the job, the machine
// it needs and its duration in hours.
tuple Operation {
  int job;
  int step;
  string machine;
  float hours;
}

// All operations of all jobs.
{Operation} Ops = ...;

// Big-M: no schedule without idle time is longer than this.
float horizon = sum(o in Ops) o.hours;

// start[o] = start time of operation o.
dvar float+ start[Ops];

// ahead[o][q] = 1 when operation o runs before operation q on their
// shared machine (used only for pairs of different jobs, o.job < q.job).
dvar boolean ahead[Ops][Ops];

// makespan = time at which the last operation finishes.
dvar float+ makespan;

// Objective: finish all jobs as early as possible.
minimize completionTime: makespan;

subject to {
  // Steps of a job follow each other.
  forall(o in Ops, q in Ops: o.job == q.job && q.step == o.step + 1)
    jobSequence: start[q] >= start[o] + o.hours;

  // Operations sharing a machine do not overlap.
  forall(o in Ops, q in Ops: o.machine == q.machine && o.job < q.job) {
    oFirst: start[q] >= start[o] + o.hours - horizon * (1 - ahead[o][q]);
    qFirst: start[o] >= start[q] + q.hours - horizon * ahead[o][q];
  }

  // The makespan follows the end of every operation.
  forall(o in Ops)
    lastFinish: makespan >= start[o] + o.hours;
}
