/*********************************************************************
 * Helpline staffing with a rolling five-on, two-off rota
 *
 * Every agent works five consecutive days and then rests for two,
 * in a pattern that wraps around the end of the week. We decide how
 * many agents begin their working block on each weekday so that the
 * agents on duty cover the daily minimum, and we hire as few agents
 * as possible (all are paid the same weekly wage).
 *
 * Days are numbered 1 (Monday) to 7 (Sunday). An agent starting on
 * day s is on duty on day d when d lies within the five days that
 * begin at s, counting around the end of the week.
 *********************************************************************/

// Number of days in the planning cycle (one week).
int nbDays = ...;

// Length of a working block in consecutive days.
int blockLength = ...;

// Days of the week, 1 = Monday ... 7 = Sunday.
range Days = 1..nbDays;

// Minimum number of agents needed on the phones each day.
int demand[Days] = ...;

// starters[s] = number of agents whose five-day block starts on day s.
dvar int+ starters[Days];

// Total number of agents on the payroll.
dexpr int headcount = sum(s in Days) starters[s];

// Objective: the smallest workforce that covers every day.
minimize totalAgents: headcount;

subject to {
  // Coverage: agents on duty on day d are those who started on one of
  // the blockLength days ending at d. The first part of the filter
  // counts starts earlier in the same week, the second part counts
  // starts late in the previous week that wrap around to day d.
  forall(d in Days)
    dailyCover:
      sum(s in Days: (s <= d && d - s < blockLength) || (s > d && d - s + nbDays < blockLength))
        starters[s] >= demand[d];
}
