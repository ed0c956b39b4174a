/*********************************************************************
 * Resin batches (uncapacitated single-item lot sizing)
 *
 * Weekly demand must be met from production or stock. Producing in a
 * week incurs a fixed setup cost; stock carried to the next week costs
 * a holding charge. Choose the production weeks and batch sizes that
 * minimise setup, material and holding cost.
 *********************************************************************/

// Length of the planning horizon in weeks.
int nWeeks = ...;

// Planning weeks, and the same weeks with week 0 for the opening stock.
range Weeks = 1..nWeeks;
range WeeksWithStart = 0..nWeeks;

// Drums ordered for each week.
float demand[Weeks] = ...;

// Fixed cost of a batch (cleaning and recalibration), in dollars.
float setupCost = ...;

// Material cost per drum, in dollars.
float unitCost = ...;

// Holding cost per drum carried over a week, in dollars.
float holdCost = ...;

// Drums in stock at the start of week 1.
float openingStock = ...;

// Drums required in stock at the end of the horizon.
float closingStock = ...;

// Largest batch ever needed: all remaining demand at once (used as big-M).
float bigM = sum(t in Weeks) demand[t] + closingStock;

// make[t]: drums produced in week t.
dvar float+ make[Weeks];

// stock[t]: drums in the warehouse at the end of week t (week 0 is the opening stock).
dvar float+ stock[WeeksWithStart];

// batch[t] is 1 when the reactor runs a batch in week t.
dvar boolean batch[Weeks];

// Objective: setup, material and holding cost over the horizon.
minimize totalCost:
  sum(t in Weeks) (setupCost * batch[t] + unitCost * make[t] + holdCost * stock[t]);

subject to {
  // Stock at the start of the horizon is what is already on hand.
  startStock: stock[0] == openingStock;

  // Stock balance: last week's stock plus production covers demand and this week's stock.
  forall(t in Weeks)
    balance: stock[t - 1] + make[t] == demand[t] + stock[t];

  // Production only in weeks with a batch (big-M link).
  forall(t in Weeks)
    setupLink: make[t] <= bigM * batch[t];

  // The warehouse ends the horizon at the required level.
  endStock: stock[nWeeks] == closingStock;
}
