{string} Dishes = ...;
{string} Nutrients = ...;
float amount[Dishes][Nutrients] = ...;
float cost[Dishes] = ...;
dvar float+ portions[Dishes];
minimize spend: sum(d in Dishes) cost[d] * portions[d];
subject to {
  energy: sum(d in Dishes) amount[d]["energy"] * portions[d] >= 600;
  protein: sum(d in Dishes) amount[d]["protein"] * portions[d] >= 25;
  iron: sum(d in Dishes) amount[d]["iron"] * portions[d] >= 4;
  sugar: sum(d in Dishes) amount[d]["sugar"] * portions[d] <= 20;
}
