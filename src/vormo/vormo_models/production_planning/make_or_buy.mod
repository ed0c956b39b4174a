/*********************************************************************
 * Parts order (production planning with make-or-buy)
 *
 * Each ordered part is either made in-house, using limited machine
 * hours, or bought from a subcontractor with a per-part limit. Meet
 * the order at the lowest total cost.
 *********************************************************************/

// Part types in the order.
{string} Parts = ...;

// Machine groups used by in-house production.
{string} Machines = ...;

// Units of each part ordered.
float ordered[Parts] = ...;

// Cost per unit to make in-house and to buy outside, in dollars.
float makeCost[Parts] = ...;
float buyCost[Parts] = ...;

// Most units of any one part the subcontractor takes.
float buyLimit = ...;

// Machine hours available this week for each machine group.
float machineHours[Machines] = ...;

// Hours on machine group m for one unit of part p.
float hoursPerUnit[Machines][Parts] = ...;

// Whole units made in-house.
dvar int+ make[Parts];

// Whole units bought from the subcontractor, within its limit.
dvar int+ buy[Parts] in 0..buyLimit;

// Spending on the subcontractor, reported alongside the plan.
dexpr float subcontractSpend = sum(p in Parts) buyCost[p] * buy[p];

// Objective: in-house cost plus subcontractor spending.
minimize orderCost: sum(p in Parts) makeCost[p] * make[p] + subcontractSpend;

subject to {
  // Every ordered part is delivered.
  forall(p in Parts)
    deliverOrder: make[p] + buy[p] == ordered[p];

  // In-house production fits the machine hours (parts with no time on a group are skipped).
  forall(m in Machines)
    machineLimit: sum(p in Parts: hoursPerUnit[m][p] > 0) hoursPerUnit[m][p] * make[p] <= machineHours[m];
}
