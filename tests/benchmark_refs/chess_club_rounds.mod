{string} Clubs = ...;
tuple Match { string home; string away; }
{Match} Matches = ...;
range Rounds = 1..3;
float rent[Matches][Rounds] = ...;
dvar boolean play[Matches][Rounds];
minimize total: sum(m in Matches, r in Rounds) rent[m][r] * play[m][r];
subject to {
  forall(m in Matches) once: sum(r in Rounds) play[m][r] == 1;
  forall(c in Clubs, r in Rounds) oneGame: sum(m in Matches: m.home == c || m.away == c) play[m][r] == 1;
}
