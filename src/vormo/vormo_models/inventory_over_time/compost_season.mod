/*********************************************************************
 * Single-item inventory over time with varying purchase prices
 *
 * Stock carried from one month into the next links the periods:
 * opening stock plus deliveries minus sales gives closing stock.
 * Month 0 holds the opening stock before the season. Buying early at
 * a lower price is traded against the storage charge on closing stock,
 * within the yard and supplier limits.
 *********************************************************************/

// Months of the season; month 0 is the situation before March.
int nbMonths = ...;
range Months = 1..nbMonths;
range Periods = 0..nbMonths;

// Bags sold in each month.
float sales[Months] = ...;

// Purchase price per bag delivered in each month.
float price[Months] = ...;

// Storage cost per bag left at the end of a month.
float holdingCost = ...;

// Yard capacity and supplier limit per month, in bags.
float yardCapacity = ...;
float maxDelivery = ...;

// Bags in stock before the season, and required at its end.
float openingStock = ...;
float closingTarget = ...;

// order[t] = bags delivered at the start of month t.
dvar float order[Months] in 0..maxDelivery;

// stock[t] = bags in the yard at the end of month t, within the yard size.
dvar float stock[Periods] in 0..yardCapacity;

// Objective: purchases plus storage charges over the season.
minimize seasonCost: sum(t in Months) price[t] * order[t] + sum(t in Months) holdingCost * stock[t];

subject to {
  // The season starts from the stock already in the yard.
  initialStock: stock[0] == openingStock;

  // Closing stock = opening stock + deliveries - sales.
  forall(t in Months)
    stockBalance: stock[t] == stock[t - 1] + order[t] - sales[t];

  // Deliveries arrive at the start of the month, so the yard must hold
  // the opening stock together with the delivery.
  forall(t in Months)
    yardSpace: stock[t - 1] + order[t] <= yardCapacity;

  // Stock kept for the autumn promotion.
  autumnReserve: stock[nbMonths] >= closingTarget;
}
