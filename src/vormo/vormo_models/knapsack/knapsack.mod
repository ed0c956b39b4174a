// 0-1 knapsack: choose items of greatest total value within the weight limit.
{string} Items = ...;          // the candidate items
float weight[Items] = ...;     // weight of each item (kg)
float value[Items] = ...;      // value of each item
float capacity = ...;          // weight limit of the rucksack (kg)

dvar boolean pack[Items];      // 1 if the item is packed

maximize totalValue: sum(i in Items) value[i] * pack[i];

subject to {
  weightLimit: sum(i in Items) weight[i] * pack[i] <= capacity;
}
