{string} Soaps = ...;
float oil[Soaps] = ...;
float minutes[Soaps] = ...;
float profit[Soaps] = ...;
float oilStock = ...;
float labour = ...;
dvar int+ bars[Soaps];
maximize earn: sum(s in Soaps) profit[s] * bars[s];
subject to {
  oilUse: sum(s in Soaps) oil[s] * bars[s] <= oilStock;
  work: sum(s in Soaps) minutes[s] * bars[s] <= labour;
  market: bars["charcoal"] <= 60;
}
