/*********************************************************************
 * Project crashing: time-cost trade-off under a deadline
 *
 * Each activity has a normal duration that can be shortened, up to a
 * limit, at a linear cost per day. Start times respect precedences
 * with the shortened durations, every activity ends by the deadline,
 * and the total crashing cost is minimised.
 *
 * Activities are tuples carrying their own data; precedences name
 * activities by id and are matched to the tuples in the filters.
 *********************************************************************/

// An activity: id, normal duration (days), largest reduction (days),
// and cost per day of reduction (dollars).
tuple Activity {
  string id;
  float normalDays;
  float maxCut;
  float costPerDay;
}

// A precedence between two activity ids.
tuple Link {
  string pred;
  string succ;
}

// Activities of the launch project.
{Activity} Activities = ...;

// Precedence links.
{Link} Links = ...;

// Days from kick-off by which everything must be finished.
float deadline = ...;

// start[a] = day on which activity a begins.
dvar float+ start[Activities];

// cut[a] = days by which activity a is shortened.
dvar float+ cut[Activities];

// Objective: total cost of shortening activities.
minimize crashingCost: sum(a in Activities) a.costPerDay * cut[a];

subject to {
  // No activity is shortened beyond its limit.
  forall(a in Activities)
    cutLimit: cut[a] <= a.maxCut;

  // A successor starts after its predecessor ends (shortened duration).
  forall(l in Links, a in Activities, b in Activities: a.id == l.pred && b.id == l.succ)
    precedence: start[b] >= start[a] + a.normalDays - cut[a];

  // Every activity is finished by the deadline.
  forall(a in Activities)
    meetDeadline: start[a] + a.normalDays - cut[a] <= deadline;
}
