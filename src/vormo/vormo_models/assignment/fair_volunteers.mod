/*********************************************************************
 * School fair rota (assignment feasibility, no objective)
 *
 * Booths each need exactly one volunteer; a volunteer runs one booth
 * at most and only a booth they agreed to. Two volunteers who share
 * childcare cannot both work. Any rota meeting these rules will do,
 * so this is a feasibility model: there is deliberately no objective.
 *********************************************************************/

// People who signed up.
{string} Volunteers = ...;

// Booths at the fair.
{string} Booths = ...;

// A volunteer-booth pair the volunteer agreed to.
tuple Pairing {
  string volunteer;  // who
  string booth;      // which booth they can run
}

// Every acceptable pairing.
{Pairing} Acceptable = ...;

// The two volunteers who share childcare.
string parentA = ...;
string parentB = ...;

// staff[v][b] is 1 when volunteer v runs booth b.
dvar boolean staff[Volunteers][Booths];

subject to {
  // Each booth gets exactly one volunteer.
  forall(b in Booths)
    boothStaffed: sum(v in Volunteers) staff[v][b] == 1;

  // Nobody runs more than one booth.
  forall(v in Volunteers)
    oneBoothAtMost: sum(b in Booths) staff[v][b] <= 1;

  // Pairings nobody agreed to are ruled out.
  forall(v in Volunteers, b in Booths: !(<v, b> in Acceptable))
    onlyAgreed: staff[v][b] == 0;

  // At most one of the two parents works; the other minds the child.
  childcare: sum(b in Booths) (staff[parentA][b] + staff[parentB][b]) <= 1;
}
