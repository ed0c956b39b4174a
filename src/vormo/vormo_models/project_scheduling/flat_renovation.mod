/*********************************************************************
 * Project scheduling with precedences (critical path)
 *
 * Every job has a duration and may only start after its predecessors
 * have finished. Resources are not limited, so the shortest project
 * length is the longest chain of jobs; the linear model finds it by
 * minimising the project end, which must follow the end of every job.
 *********************************************************************/

// A precedence: job 'after' cannot start before job 'before' ends.
tuple Precedence {
  string before;
  string after;
}

// Jobs of the renovation.
{string} Jobs = ...;

// Duration of each job in working days.
float duration[Jobs] = ...;

// Precedence relations between jobs.
{Precedence} Precedences = ...;

// start[j] = working day on which job j begins (day 0 is the first day).
dvar float+ start[Jobs];

// projectEnd = day on which the last job is finished.
dvar float+ projectEnd;

// Objective: hand the keys back as early as possible.
minimize handoverDay: projectEnd;

subject to {
  // A job starts only once each of its predecessors has finished.
  forall(p in Precedences)
    respectOrder: start[p.after] >= start[p.before] + duration[p.before];

  // The project ends after every job ends.
  forall(j in Jobs)
    endsAfterJob: projectEnd >= start[j] + duration[j];
}
