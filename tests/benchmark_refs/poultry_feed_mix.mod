{string} Ingredients = ...;
float protein[Ingredients] = ...;
float fat[Ingredients] = ...;
float fibre[Ingredients] = ...;
float price[Ingredients] = ...;
float batch = ...;
dvar float+ kg[Ingredients];
minimize cost: sum(i in Ingredients) price[i] * kg[i];
subject to {
  size: sum(i in Ingredients) kg[i] == batch;
  minProtein: sum(i in Ingredients) protein[i] * kg[i] >= 0.22 * batch;
  maxFat: sum(i in Ingredients) fat[i] * kg[i] <= 0.05 * batch;
  maxFibre: sum(i in Ingredients) fibre[i] * kg[i] <= 0.06 * batch;
}
