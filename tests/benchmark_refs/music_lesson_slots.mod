{string} Lessons = ...;
{string} Slots = ...;
{string} Rooms = ...;
float rating[Lessons][Slots] = ...;
tuple Pair { string a; string b; }
{Pair} SharedTeacher = ...;
dvar boolean at[Lessons][Slots][Rooms];
maximize happiness: sum(l in Lessons, s in Slots, r in Rooms) rating[l][s] * at[l][s][r];
subject to {
  forall(l in Lessons) placed: sum(s in Slots, r in Rooms) at[l][s][r] == 1;
  forall(s in Slots, r in Rooms) roomOnce: sum(l in Lessons) at[l][s][r] <= 1;
  forall(p in SharedTeacher, s in Slots) teacher: sum(r in Rooms) (at[p.a][s][r] + at[p.b][s][r]) <= 1;
  choirHall: sum(s in Slots) at["choir"][s]["Studio"] == 0;
  studioFriday: sum(l in Lessons) at[l]["Fri"]["Studio"] == 0;
}
