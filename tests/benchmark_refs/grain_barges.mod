{string} Places = ...;
float net[Places] = ...;
tuple Leg { string from; string to; float cost; float limit; }
{Leg} Legs = ...;
dvar float+ move[Legs];
minimize cost: sum(l in Legs) l.cost * move[l];
subject to {
  forall(l in Legs) cap: move[l] <= l.limit;
  forall(p in Places)
    balance: sum(l in Legs: l.from == p) move[l] - sum(l in Legs: l.to == p) move[l] == net[p];
}
