int n = ...;
range Parcels = 1..n;
{string} Vans = ...;
float kg[Parcels] = ...;
float fee[Parcels] = ...;
float cap[Vans] = ...;
dvar boolean load[Parcels][Vans];
maximize earned: sum(p in Parcels, v in Vans) fee[p] * load[p][v];
subject to {
  forall(p in Parcels) once: sum(v in Vans) load[p][v] <= 1;
  forall(v in Vans) weight: sum(p in Parcels) kg[p] * load[p][v] <= cap[v];
}
