/*********************************************************************
 * Bicycle assembly (multi-period production planning)
 *
 * Monthly demand is met from regular output, overtime output and
 * stock. Each source has its own unit cost and monthly limit; stock
 * left at month end is charged. Minimise production plus storage cost
 * while ending the horizon with a safety buffer.
 *********************************************************************/

// Number of months planned.
int nMonths = ...;

// The planning months.
range Months = 1..nMonths;

// Forecast sales per month (bikes).
float demand[Months] = ...;

// Monthly limits of regular and overtime output (bikes).
float regularCap = ...;
float overtimeCap = ...;

// Cost per bike on regular shifts and on overtime, in euros.
float regularCost = ...;
float overtimeCost = ...;

// Storage cost per bike held at a month end, in euros.
float holdCost = ...;

// Bikes in stock at the start of month 1.
float startStock = ...;

// Bikes that must remain at the end of the last month.
float bufferStock = ...;

// Bikes assembled on regular shifts and on overtime in each month.
dvar float regular[Months] in 0..regularCap;
dvar float overtime[Months] in 0..overtimeCap;

// Bikes in stock at the end of each month.
dvar float+ stock[Months];

// Objective: production and storage cost of the half year.
minimize planCost:
  sum(t in Months) (regularCost * regular[t] + overtimeCost * overtime[t] + holdCost * stock[t]);

subject to {
  // First month: opening stock plus output covers sales and closing stock.
  forall(t in Months: t == 1)
    firstMonthBalance: startStock + regular[t] + overtime[t] == demand[t] + stock[t];

  // Later months: last month's stock plus output covers sales and closing stock.
  forall(t in Months: t > 1)
    monthBalance: stock[t - 1] + regular[t] + overtime[t] == demand[t] + stock[t];

  // Safety buffer at the end of the horizon.
  summerBuffer: stock[nMonths] >= bufferStock;
}
