/*********************************************************************
 * Return-maximising equity weights under stress-scenario loss limits
 *
 * Portfolio weights (fractions of the sleeve) are chosen to maximise
 * the expected return. Each stress scenario gives a return for every
 * stock; the weighted scenario return must not fall below the largest
 * tolerated loss. Single-stock and sector caps limit concentration.
 *********************************************************************/

// A stock with its sector and expected annual return (percent).
tuple Stock {
  string ticker;
  string sector;
  float expReturn;
}

// Stocks available to the sleeve.
{Stock} Stocks = ...;

// Sectors and the largest share each may take.
{string} Sectors = ...;
float sectorCap[Sectors] = ...;

// Stress scenarios and the return of every stock in each (percent).
{string} Scenarios = ...;
float stressReturn[Scenarios][Stocks] = ...;

// Largest tolerated loss in any scenario (percent).
float maxLoss = ...;

// Largest weight of a single stock.
float maxWeight = ...;

// weight[s] = fraction of the sleeve held in stock s.
dvar float weight[Stocks] in 0..maxWeight;

// Objective: the expected return of the sleeve, in percent.
maximize expectedReturn: sum(s in Stocks) s.expReturn * weight[s];

subject to {
  // Weights make up the whole sleeve.
  fullyInvested: sum(s in Stocks) weight[s] == 1;

  // Sector concentration limits.
  forall(g in Sectors)
    sectorLimit: sum(s in Stocks: s.sector == g) weight[s] <= sectorCap[g];

  // In every stress scenario the loss stays within the limit.
  forall(c in Scenarios)
    stressLimit: sum(s in Stocks) stressReturn[c][s] * weight[s] >= -maxLoss;
}
