/*********************************************************************
 * Residence menu (diet problem)
 *
 * Choose servings of staple foods so that each nutrient lies within
 * its daily range, with a cap on servings of any one food, at the
 * lowest cost.
 *********************************************************************/

// Staple foods on offer.
{string} Foods = ...;

// Nutrients with a daily range.
{string} Nutrients = ...;

// Cost of one serving of each food, in euros.
float cost[Foods] = ...;

// Amount of each nutrient in one serving of each food.
float content[Foods][Nutrients] = ...;

// Daily lower and upper limit for each nutrient.
float lower[Nutrients] = ...;
float upper[Nutrients] = ...;

// Most servings of any one food per day.
float maxServings = ...;

// Servings of each food in the menu (fractions allowed, capped for variety).
dvar float servings[Foods] in 0..maxServings;

// Objective: cost of the day's menu.
minimize menuCost: sum(f in Foods) cost[f] * servings[f];

subject to {
  // Every nutrient stays within its daily range.
  forall(n in Nutrients) {
    atLeast: sum(f in Foods) content[f][n] * servings[f] >= lower[n];
    atMost:  sum(f in Foods) content[f][n] * servings[f] <= upper[n];
  }
}
