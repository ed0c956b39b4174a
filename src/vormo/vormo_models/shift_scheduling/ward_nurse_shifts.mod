/*********************************************************************
 * Daily nurse roster over eight-hour shifts
 *
 * The day is cut into four-hour blocks. Each shift type covers two
 * consecutive blocks (the evening shift wraps into the first block of
 * the next day, which repeats the same roster). We choose how many
 * nurses work each shift type so that every block has its minimum
 * staffing, at the lowest total wage cost.
 *
 * Which shift covers which block is given as a 0/1 table in the data,
 * so other shift patterns can be tried without touching the model.
 *********************************************************************/

// Four-hour blocks of the day, named by their clock hours.
{string} Blocks = ...;

// Shift types, named by their start time.
{string} Shifts = ...;

// covers[s][b] = 1 when shift s is on the ward during block b.
boolean covers[Shifts][Blocks] = ...;

// Minimum number of nurses required in each block.
int minNurses[Blocks] = ...;

// Cost of one nurse working one shift of each type.
float shiftCost[Shifts] = ...;

// nurses[s] = number of nurses assigned to shift type s.
dvar int+ nurses[Shifts];

// Objective: the total daily wage bill.
minimize wageBill: sum(s in Shifts) shiftCost[s] * nurses[s];

subject to {
  // Every block has at least its minimum number of nurses on duty.
  forall(b in Blocks)
    blockCover: sum(s in Shifts: covers[s][b] == 1) nurses[s] >= minNurses[b];
}
