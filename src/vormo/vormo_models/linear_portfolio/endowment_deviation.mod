/*********************************************************************
 * Mean absolute deviation portfolio
 *
 * A fund is spread over asset classes. Risk is the average, over
 * equally likely historical scenarios, of the absolute difference
 * between the portfolio return in a scenario and its mean return.
 * The absolute value is modelled with one non-negative deviation
 * variable per scenario bounded below by both signs of the
 * difference, which keeps the model linear.
 *
 * Amounts are in millions of dollars; returns are in percent.
 *********************************************************************/

// Asset classes.
{string} Assets = ...;

// Number of historical scenarios (years), all equally likely.
int nbScenarios = ...;
range Scenarios = 1..nbScenarios;

// ret[s][a] = return of asset class a in scenario s, in percent.
float ret[Scenarios][Assets] = ...;

// Fund size in millions.
float budget = ...;

// Largest share of the fund in one asset class, and the cash floor.
float maxShare = ...;
float minCashShare = ...;

// The cash asset class.
string cashAsset = ...;

// Required average return in percent.
float targetReturn = ...;

// Average return of each asset class over the scenarios (derived data).
float meanRet[a in Assets] = sum(s in Scenarios) ret[s][a] / nbScenarios;

// invest[a] = millions placed in asset class a, within the single-class cap.
dvar float+ invest[Assets] in 0..maxShare * budget;

// dev[s] = absolute deviation of the portfolio return in scenario s
// from its mean, in millions.
dvar float+ dev[Scenarios];

// Objective: mean absolute deviation of the portfolio return.
minimize meanAbsDeviation: sum(s in Scenarios) dev[s] / nbScenarios;

subject to {
  // The whole fund is invested.
  fullyInvested: sum(a in Assets) invest[a] == budget;

  // Cash floor.
  cashFloor: invest[cashAsset] >= minCashShare * budget;

  // Average return of the portfolio reaches the target.
  meetTarget: sum(a in Assets) meanRet[a] * invest[a] / 100 >= targetReturn * budget / 100;

  // dev[s] is at least the deviation above and below the mean.
  forall(s in Scenarios) {
    devAbove: dev[s] >= sum(a in Assets) (ret[s][a] - meanRet[a]) * invest[a] / 100;
    devBelow: dev[s] >= sum(a in Assets) (meanRet[a] - ret[s][a]) * invest[a] / 100;
  }
}
