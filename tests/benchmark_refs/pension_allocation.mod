{string} Funds = ...;
float ret[Funds] = ...;
float risk[Funds] = ...;
float budget = ...;
dvar float+ invest[Funds];
maximize expected: sum(f in Funds) ret[f] * invest[f];
subject to {
  all: sum(f in Funds) invest[f] == budget;
  riskCap: sum(f in Funds) risk[f] * invest[f] <= 5 * budget;
  forall(f in Funds) spread: invest[f] <= 0.4 * budget;
  bonds: invest["government bonds"] + invest["corporate bonds"] >= 0.35 * budget;
}
