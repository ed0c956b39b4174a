{string} Exams = ...;
int maxSlots = ...;
range Slots = 1..maxSlots;
tuple Pair { string a; string b; }
{Pair} Clashes = ...;
dvar boolean at[Exams][Slots];
dvar boolean slotUsed[Slots];
minimize slots: sum(s in Slots) slotUsed[s];
subject to {
  forall(e in Exams) once: sum(s in Slots) at[e][s] == 1;
  forall(c in Clashes, s in Slots) apart: at[c.a][s] + at[c.b][s] <= slotUsed[s];
}
