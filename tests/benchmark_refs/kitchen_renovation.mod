{string} Tasks = ...;
float days[Tasks] = ...;
tuple Prec { string before; string after; }
{Prec} Precs = ...;
dvar float+ start[Tasks];
dvar float+ finish;
minimize total: finish;
subject to {
  forall(p in Precs) order: start[p.after] >= start[p.before] + days[p.before];
  forall(t in Tasks) end: finish >= start[t] + days[t];
}
