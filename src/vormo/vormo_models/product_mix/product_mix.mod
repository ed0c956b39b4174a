/*********************************************************************
 * Woodshop month (product mix)
 *
 * Products consume limited shop resources. Choose production
 * quantities, within what dealers will take, that maximise profit.
 *********************************************************************/

// Products the shop builds.
{string} Products = ...;

// Limited resources: work centres and material.
{string} Resources = ...;

// Profit per unit of each product, in dollars.
float profit[Products] = ...;

// Amount of resource r used by one unit of product p.
float usage[Resources][Products] = ...;

// Amount of each resource available in the month.
float available[Resources] = ...;

// Most units of each product the dealers will take.
float maxSales[Products] = ...;

// Units of each product to build.
dvar float+ build[Products];

// Objective: profit of the month.
maximize monthProfit: sum(p in Products) profit[p] * build[p];

subject to {
  // No resource is used beyond what is available.
  forall(r in Resources)
    resourceLimit: sum(p in Products) usage[r][p] * build[p] <= available[r];

  // Build no more than the dealers will take.
  forall(p in Products)
    dealerLimit: build[p] <= maxSales[p];
}
