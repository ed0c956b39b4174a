/*********************************************************************
 * Call centre rota of five-day stretches over a repeating fortnight
 *
 * Every agent works a stretch of consecutive days and then rests; the
 * fortnight repeats, so a stretch that starts near the end wraps
 * round to the first days. Each day needs a number of agents on duty.
 * Weekend days pay time and a half, no stretch starts on a weekend,
 * and each week has a cap on the stretches that start in it. We
 * choose how many agents start on each day at the lowest wage bill.
 *********************************************************************/

// Days of the repeating plan, day 1 is a Monday.
int nbDays = ...;
{int} Days = asSet(1..nbDays);

// Weeks of the plan (whole weeks only).
int nbWeeks = nbDays div 7;

// Length of a working stretch in days.
int stretch = ...;

// need[d] = agents on duty on day d.
int need[Days] = ...;

// Pay of a weekday, and of a weekend day: time and a half, to the dollar.
float dayWage = ...;
float weekendWage = round(dayWage * 1.5);

// Most stretches that may start within one week.
int maxStartsPerWeek = ...;

// Day of the week (1 = Monday ... 7 = Sunday) and week of each day.
int weekday[d in Days] = (d - 1) mod 7 + 1;
int week[d in Days] = (d - 1) div 7 + 1;
boolean weekend[d in Days] = weekday[d] in 6..7;

// covers[s][d] = 1 when a stretch starting on day s includes day d,
// counting round the end of the fortnight.
boolean covers[s in Days][d in Days] = (d - s) mod nbDays in 0..stretch - 1;

// Wage bill of one stretch that starts on day s.
float stretchPay[s in Days] =
  sum(d in Days: covers[s][d] == 1) (weekend[d] == 1 ? weekendWage : dayWage);

// starts[s] = agents whose stretch starts on day s; none start on a weekend.
dvar int+ starts[s in Days] in 0..(weekend[s] == 1 ? 0 : maxStartsPerWeek);

// Objective: the wage bill of the fortnight.
minimize wageBill: sum(s in Days) stretchPay[s] * starts[s];

subject to {
  // Enough agents on duty every day.
  forall(d in Days)
    onDuty: sum(s in Days: covers[s][d] == 1) starts[s] >= need[d];
  // Starts spread over the weeks.
  forall(w in 1..nbWeeks)
    weeklyStarts: sum(s in Days: week[s] == w) starts[s] <= maxStartsPerWeek;
}
