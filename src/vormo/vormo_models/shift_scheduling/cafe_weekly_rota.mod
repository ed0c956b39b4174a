/*********************************************************************
 * Weekly cafe rota: named staff on early and late shifts
 *
 * Each weekday has an early and a late shift with a required number
 * of people. Each employee takes at most one shift a day, stays within
 * a weekly minimum and maximum, is off on agreed days, and never works
 * a late shift followed by the next day's early shift. We assign
 * people to shifts at the lowest total wage cost.
 *********************************************************************/

// A day off agreed in advance: who is away, and on which day.
tuple Absence {
  string who;
  int day;
}

// Staff members.
{string} Staff = ...;

// Working days, 1 = Monday ... 5 = Friday.
int nbDays = ...;
range Days = 1..nbDays;

// Shift types of each day.
{string} Shifts = ...;

// Number of people needed on each shift of each day.
int need[Shifts][Days] = ...;

// Pay of one shift for each staff member.
float payPerShift[Staff] = ...;

// Weekly shift limits per staff member.
int minShifts[Staff] = ...;
int maxShifts[Staff] = ...;

// Agreed days off.
{Absence} Absences = ...;

// work[e][d][s] = 1 when employee e works shift s on day d.
dvar boolean work[Staff][Days][Shifts];

// Objective: the weekly wage cost.
minimize weeklyPay: sum(e in Staff, d in Days, s in Shifts) payPerShift[e] * work[e][d][s];

subject to {
  // Every shift gets exactly the number of people it needs.
  forall(s in Shifts, d in Days)
    staffShift: sum(e in Staff) work[e][d][s] == need[s][d];

  // At most one shift per person per day.
  forall(e in Staff, d in Days)
    oneShiftPerDay: sum(s in Shifts) work[e][d][s] <= 1;

  // Weekly contract limits on the number of shifts worked.
  forall(e in Staff) {
    atLeastContract: sum(d in Days, s in Shifts) work[e][d][s] >= minShifts[e];
    atMostContract: sum(d in Days, s in Shifts) work[e][d][s] <= maxShifts[e];
  }

  // No closing shift followed by an opening shift the next morning.
  forall(e in Staff, d in Days: d < nbDays)
    restAfterLate: work[e][d]["late"] + work[e][d + 1]["early"] <= 1;

  // Nobody is rostered on an agreed day off.
  forall(a in Absences, s in Shifts)
    dayOff: work[a.who][a.day][s] == 0;
}
