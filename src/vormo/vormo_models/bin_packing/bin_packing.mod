/*********************************************************************
 * Festival trailers (bin packing)
 *
 * Equipment crates of known weight are loaded onto identical trailers
 * with a common weight rating. Each crate rides on exactly one trailer.
 * Book as few trailers as possible.
 *********************************************************************/

// Number of crates to move.
int nCrates = ...;

// Number of trailers the rental company can supply at most.
int nTrailers = ...;

// Crates and candidate trailers are numbered from 1.
range Crates = 1..nCrates;
range Trailers = 1..nTrailers;

// Weight of each crate in tonnes.
float weight[Crates] = ...;

// Weight rating of every trailer in tonnes.
float rating = ...;

// used[t] is 1 when trailer t is booked.
dvar boolean used[Trailers];

// onTrailer[c][t] is 1 when crate c is loaded on trailer t.
dvar boolean onTrailer[Crates][Trailers];

// Objective: the number of trailers booked.
minimize trailersBooked: sum(t in Trailers) used[t];

subject to {
  // Every crate is loaded on exactly one trailer.
  forall(c in Crates)
    loadEachCrate: sum(t in Trailers) onTrailer[c][t] == 1;

  // A trailer carries at most its rating, and nothing if it is not booked.
  forall(t in Trailers)
    trailerRating: sum(c in Crates) weight[c] * onTrailer[c][t] <= rating * used[t];

  // Book trailers in numeric order; this removes equivalent relabelled plans.
  forall(t in Trailers: t > 1)
    bookInOrder: used[t] <= used[t - 1];
}
