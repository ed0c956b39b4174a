int T = ...;
range Weeks = 1..T;
range Ends = 0..T;
float demand[Weeks] = ...;
float setup = ...;
float unitCost = ...;
float hold = ...;
float cap = ...;
dvar float+ brew[Weeks];
dvar boolean run[Weeks];
dvar float+ tank[Ends];
minimize cost: sum(t in Weeks) (setup * run[t] + unitCost * brew[t] + hold * tank[t]);
subject to {
  tank[0] == 0;
  tank[T] == 0;
  forall(t in Weeks) {
    balance: tank[t - 1] + brew[t] == demand[t] + tank[t];
    line: brew[t] <= cap * run[t];
  }
}
