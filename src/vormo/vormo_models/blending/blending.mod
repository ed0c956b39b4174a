/*********************************************************************
 * Bronze melt (blending)
 *
 * Charge materials of known composition are melted together into a
 * batch of fixed weight. The batch composition is the weighted average
 * of the charge and must stay within the alloy limits for each
 * element. Minimise the material cost of the charge.
 *********************************************************************/

// Materials that can go into the furnace.
{string} Materials = ...;

// Elements whose share is limited in the alloy.
{string} Elements = ...;

// Percentage of each element in each material.
float percent[Materials][Elements] = ...;

// Price of each material in euros per kilogram.
float price[Materials] = ...;

// Kilograms of each material in stock.
float stock[Materials] = ...;

// Lowest and highest percentage of each element in the finished alloy.
float minPercent[Elements] = ...;
float maxPercent[Elements] = ...;

// Weight of the melt in kilograms.
float meltWeight = ...;

// Kilograms of each material charged.
dvar float+ charge[Materials];

// Objective: material cost of the melt.
minimize materialCost: sum(m in Materials) price[m] * charge[m];

subject to {
  // The charge makes up the melt exactly.
  meltSize: sum(m in Materials) charge[m] == meltWeight;

  // Element limits, written as kilograms of the element in the melt.
  forall(e in Elements) {
    elementMin: sum(m in Materials) percent[m][e] * charge[m] >= minPercent[e] * meltWeight;
    elementMax: sum(m in Materials) percent[m][e] * charge[m] <= maxPercent[e] * meltWeight;
  }

  // No material beyond what is in stock.
  forall(m in Materials)
    inStock: charge[m] <= stock[m];
}
