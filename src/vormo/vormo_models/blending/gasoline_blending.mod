/*********************************************************************
 * Gasoline grades (blending for profit)
 *
 * Components with known octane, vapour pressure, cost and availability
 * are blended into sales grades. A grade's qualities are the
 * volume-weighted averages of its components and must meet the grade
 * limits. Maximise sales revenue minus component cost.
 *********************************************************************/

// Blending components.
{string} Components = ...;

// Sales grades.
{string} Grades = ...;

// Octane number and vapour pressure (psi) of each component.
float octane[Components] = ...;
float vapour[Components] = ...;

// Cost per barrel and daily availability (barrels) of each component.
float componentCost[Components] = ...;
float available[Components] = ...;

// Price per barrel, minimum octane, maximum vapour pressure and
// market limit (barrels) of each grade.
float gradePrice[Grades] = ...;
float minOctane[Grades] = ...;
float maxVapour[Grades] = ...;
float market[Grades] = ...;

// Barrels of component c blended into grade g.
dvar float+ blend[Components][Grades];

// Barrels of each grade produced.
dexpr float produced[g in Grades] = sum(c in Components) blend[c][g];

// Objective: sales revenue minus component cost.
maximize margin:
  sum(g in Grades) gradePrice[g] * produced[g]
  - sum(c in Components, g in Grades) componentCost[c] * blend[c][g];

subject to {
  // Quality limits and market limit of each grade.
  forall(g in Grades) {
    // Average octane at least the grade minimum (linearised).
    octaneMinimum: sum(c in Components) (octane[c] - minOctane[g]) * blend[c][g] >= 0;

    // Average vapour pressure at most the grade maximum (linearised).
    vapourMaximum: sum(c in Components) (vapour[c] - maxVapour[g]) * blend[c][g] <= 0;

    // The market takes no more than its limit.
    marketLimit: produced[g] <= market[g];
  }

  // Component use within daily availability.
  forall(c in Components)
    componentSupply: sum(g in Grades) blend[c][g] <= available[c];
}
