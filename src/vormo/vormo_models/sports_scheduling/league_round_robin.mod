/*********************************************************************
 * Single round robin with home/away balance and hosting requests
 *
 * hosts[i][j][r] = 1 when team i hosts team j on match day r. Each
 * pair of teams meets once, each team plays once per match day, home
 * games are balanced, teams sharing a ground are never at home on the
 * same day, and the number of granted hosting requests is maximised.
 *********************************************************************/

// Two teams that play at the same ground.
tuple GroundShare {
  int teamA;
  int teamB;
}

// A request of a team to host a match on a given day.
tuple HostRequest {
  int team;
  int day;
}

// Teams (numbered) and match days.
int nbTeams = ...;
int nbDays = ...;
range Teams = 1..nbTeams;
range Days = 1..nbDays;

// Fewest and most home matches per team.
int minHome = ...;
int maxHome = ...;

// Pairs of teams sharing a ground.
{GroundShare} Shares = ...;

// Hosting requests from the clubs.
{HostRequest} Requests = ...;

// hosts[i][j][r] = 1 when team i hosts team j on day r.
dvar boolean hosts[Teams][Teams][Days];

// Objective: number of hosting requests granted.
maximize grantedRequests:
  sum(q in Requests, j in Teams: j != q.team) hosts[q.team][j][q.day];

subject to {
  // A team never plays itself.
  forall(i in Teams, r in Days)
    noSelfMatch: hosts[i][i][r] == 0;

  // Every pair of teams meets exactly once in the season.
  forall(i in Teams, j in Teams: i < j)
    meetOnce: sum(r in Days) (hosts[i][j][r] + hosts[j][i][r]) == 1;

  // Every team plays exactly one match on every day.
  forall(i in Teams, r in Days)
    onePerDay: sum(j in Teams: j != i) (hosts[i][j][r] + hosts[j][i][r]) == 1;

  // Home matches per team stay within the balance limits.
  forall(i in Teams) {
    fewHome: sum(j in Teams, r in Days) hosts[i][j][r] >= minHome;
    manyHome: sum(j in Teams, r in Days) hosts[i][j][r] <= maxHome;
  }

  // Teams sharing a ground are not at home on the same day.
  forall(s in Shares, r in Days)
    sharedGround: sum(j in Teams) hosts[s.teamA][j][r] + sum(j in Teams) hosts[s.teamB][j][r] <= 1;
}
