/*********************************************************************
 * Release test selection (set multi-covering)
 *
 * Each automated test suite exercises some requirements. Choose suites
 * so that every requirement is exercised at least as often as its risk
 * class demands, with the least total pipeline runtime.
 *********************************************************************/

// Automated test suites that could be run.
{string} Suites = ...;

// Product requirements that must be exercised.
{string} Requirements = ...;

// A (suite, requirement) pair: the suite exercises the requirement.
tuple Touch {
  string suite;        // the test suite
  string requirement;  // the requirement it exercises
}

// All pairs reported by the QA team.
{Touch} Touches = ...;

// Runtime of each suite in minutes.
float runtime[Suites] = ...;

// Number of different suites that must exercise each requirement.
int needed[Requirements] = ...;

// run[s] is 1 when suite s is part of the release pipeline.
dvar boolean run[Suites];

// Objective: total runtime of the chosen suites.
minimize pipelineMinutes: sum(s in Suites) runtime[s] * run[s];

subject to {
  // Each requirement is exercised by enough of the chosen suites.
  forall(r in Requirements)
    exercised: sum(s in Suites: <s, r> in Touches) run[s] >= needed[r];
}
