/*********************************************************************
 * Snack fryer line (capacitated multi-item lot sizing)
 *
 * Several products share one line with limited hours per week. A
 * product made in a week needs a changeover that costs money and
 * line time. Demand must be met on time from production or stock.
 * Minimise changeover and storage cost.
 *********************************************************************/

// Products made on the line.
{string} Products = ...;

// Number of planning weeks.
int nWeeks = ...;

// Planning weeks, and the same with week 0 for the opening stock.
range Weeks = 1..nWeeks;
range Weeks0 = 0..nWeeks;

// Line hours available in each week.
float hours[Weeks] = ...;

// Line hours needed per tonne of each product.
float hoursPerTonne[Products] = ...;

// Line hours lost to a changeover for each product.
float changeHours[Products] = ...;

// Cost of a changeover for each product, in euros.
float changeCost[Products] = ...;

// Storage cost per tonne per week for each product, in euros.
float storeCost[Products] = ...;

// Tonnes due of each product in each week.
float due[Products][Weeks] = ...;

// make[p][t]: tonnes of product p made in week t.
dvar float+ make[Products][Weeks];

// stock[p][t]: tonnes of product p on the shelf at the end of week t.
dvar float+ stock[Products][Weeks0];

// run[p][t] is 1 when product p is run (after a changeover) in week t.
dvar boolean run[Products][Weeks];

// Objective: changeover cost plus storage cost.
minimize planCost:
  sum(p in Products, t in Weeks) (changeCost[p] * run[p][t] + storeCost[p] * stock[p][t]);

subject to {
  // Shelves are empty at the start.
  forall(p in Products)
    emptyStart: stock[p][0] == 0;

  // Flow of each product through the weeks.
  forall(p in Products, t in Weeks)
    flow: stock[p][t - 1] + make[p][t] == due[p][t] + stock[p][t];

  // Production time plus changeover time fits the week's line hours.
  forall(t in Weeks)
    lineHours: sum(p in Products) (hoursPerTonne[p] * make[p][t] + changeHours[p] * run[p][t]) <= hours[t];

  // A product is made only in weeks it is run; the line hours bound the amount.
  forall(p in Products, t in Weeks)
    runLink: make[p][t] <= (hours[t] / hoursPerTonne[p]) * run[p][t];
}
