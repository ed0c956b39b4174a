int T = ...;
range Months = 1..T;
range Ends = 0..T;
float orders[Months] = ...;
float regCap = ...;
float regCost = ...;
float otCap = ...;
float otCost = ...;
float store = ...;
float opening = ...;
float closing = ...;
dvar float+ regular[Months] in 0..regCap;
dvar float+ overtime[Months] in 0..otCap;
dvar float+ stock[Ends];
minimize cost: sum(t in Months) (regCost * regular[t] + otCost * overtime[t] + store * stock[t]);
subject to {
  stock[0] == opening;
  stock[T] >= closing;
  forall(t in Months) flow: stock[t - 1] + regular[t] + overtime[t] == orders[t] + stock[t];
}
