int T = ...;
range Months = 1..T;
range Ends = 0..T;
float sales[Months] = ...;
float price[Months] = ...;
float holding = ...;
float room = ...;
float initial = ...;
dvar float+ buy[Months];
dvar float+ stock[Ends] in 0..room;
minimize cost: sum(t in Months) (price[t] * buy[t] + holding * stock[t]);
subject to {
  start: stock[0] == initial;
  forall(t in Months) balance: stock[t - 1] + buy[t] == sales[t] + stock[t];
  finish: stock[T] == 0;
}
