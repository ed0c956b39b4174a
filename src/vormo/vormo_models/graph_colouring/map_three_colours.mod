/*********************************************************************
 * Map colouring with a fixed palette (feasibility model)
 *
 * Regions sharing a border must get different colours from a fixed
 * palette, and one region has a prescribed colour. There is nothing to
 * optimise: any assignment meeting the rules answers the question, and
 * an infeasible model means the palette is too small.
 *
 * Borders are tested with tuple membership in the constraint filter.
 *********************************************************************/

// Two regions sharing a border.
tuple Border {
  string a;
  string b;
}

// Regions of the map.
{string} Regions = ...;

// Available inks.
{string} Colours = ...;

// Pairs of neighbouring regions (each pair listed once).
{Border} Borders = ...;

// Region with a prescribed colour, and that colour.
string capital = ...;
string capitalColour = ...;

// paint[r][c] = 1 when region r is printed in colour c.
dvar boolean paint[Regions][Colours];

// No objective: any colouring that satisfies the constraints will do.

subject to {
  // Each region gets exactly one colour.
  forall(r in Regions)
    oneColour: sum(c in Colours) paint[r][c] == 1;

  // Neighbours never share a colour.
  forall(i in Regions, j in Regions, c in Colours: <i, j> in Borders)
    neighboursDiffer: paint[i][c] + paint[j][c] <= 1;

  // The capital is printed in its prescribed colour.
  capitalInk: paint[capital][capitalColour] == 1;
}
