/*********************************************************************
 * Multi-product inventory over time with backorders and shared space
 *
 * For every product and week: opening net stock (stock minus
 * backorders) plus units received minus demand gives closing net
 * stock, split into stock on hand and backorders. Orders are whole
 * pallets. Stock on hand shares the warehouse space; backorders are
 * penalised each week and must be cleared by the last week.
 *********************************************************************/

// Products kept in the warehouse.
{string} Products = ...;

// Weeks of the plan; week 0 holds the opening position.
int nbWeeks = ...;
range Weeks = 1..nbWeeks;
range WeeksFrom0 = 0..nbWeeks;

// demand[p][t] = units of product p demanded in week t.
int demand[Products][Weeks] = ...;

// Units per pallet and cost per pallet of each product.
int unitsPerPallet[Products] = ...;
float palletCost[Products] = ...;

// Volume of one unit (cubic feet), and the usable warehouse space.
float unitVolume[Products] = ...;
float space = ...;

// Holding cost and backorder penalty per unit per week.
float holdCost[Products] = ...;
float backorderPenalty[Products] = ...;

// Units on hand at the start of week 1.
int openingStock[Products] = ...;

// pallets[p][t] = pallets of product p arriving at the start of week t.
dvar int+ pallets[Products][Weeks];

// onHand[p][t] = units in stock at the end of week t.
dvar float+ onHand[Products][WeeksFrom0];

// backlog[p][t] = units owed to customers at the end of week t.
dvar float+ backlog[Products][WeeksFrom0];

// Cost components.
dexpr float orderCost = sum(p in Products, t in Weeks) palletCost[p] * pallets[p][t];
dexpr float holdingCost = sum(p in Products, t in Weeks) holdCost[p] * onHand[p][t];
dexpr float shortageCost = sum(p in Products, t in Weeks) backorderPenalty[p] * backlog[p][t];

// Objective: total cost of the four-week plan.
minimize planCost: orderCost + holdingCost + shortageCost;

subject to {
  // Opening position: stock on hand, nothing owed.
  forall(p in Products) {
    openingOnHand: onHand[p][0] == openingStock[p];
    openingBacklog: backlog[p][0] == 0;
  }

  // Net stock balance of each product in each week.
  forall(p in Products, t in Weeks)
    netBalance: onHand[p][t] - backlog[p][t]
              == onHand[p][t - 1] - backlog[p][t - 1] + unitsPerPallet[p] * pallets[p][t] - demand[p][t];

  // Closing stock of all products fits in the warehouse.
  forall(t in Weeks)
    warehouseSpace: sum(p in Products) unitVolume[p] * onHand[p][t] <= space;

  // All backorders are cleared by the end of the plan.
  forall(p in Products)
    clearBacklog: backlog[p][nbWeeks] == 0;
}
