/*********************************************************************
 * Cutting pieces from a yard of leftover bars of mixed lengths
 *
 * Each bar in stock has its own length. Pieces of several kinds must
 * be cut in given quantities. We choose which bars to open and how
 * many pieces of each kind to cut from each opened bar, so that the
 * cut pieces fit in their bar and the total length of opened bars
 * (steel consumed, including scrap) is smallest.
 *
 * The opened-bar indicator multiplies the bar length on the right of
 * the fit constraint, so an unopened bar cannot hold any piece.
 *********************************************************************/

// Bars in the stock yard, by tag.
{string} Bars = ...;

// Length of each bar in cm.
float barLength[Bars] = ...;

// Kinds of pieces needed by the job.
{string} Pieces = ...;

// Length of each kind of piece in cm.
float pieceLength[Pieces] = ...;

// Number of pieces of each kind required.
int required[Pieces] = ...;

// cut[b][p] = pieces of kind p cut from bar b.
dvar int+ cut[Bars][Pieces];

// opened[b] = 1 when bar b is used for this job.
dvar boolean opened[Bars];

// Steel consumed by the job, in cm.
dexpr float steelUsed = sum(b in Bars) barLength[b] * opened[b];

// Objective: the total length of the bars cut into.
minimize consumedLength: steelUsed;

subject to {
  // The pieces cut from a bar fit within its length, and only opened
  // bars may be cut.
  forall(b in Bars)
    fitInBar: sum(p in Pieces) pieceLength[p] * cut[b][p] <= barLength[b] * opened[b];

  // Every kind of piece is produced in the required number.
  forall(p in Pieces)
    meetRequirement: sum(b in Bars) cut[b][p] >= required[p];
}
