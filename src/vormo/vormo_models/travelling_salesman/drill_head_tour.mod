/*********************************************************************
 * Small travelling salesman tour with pairwise subtour cuts
 *
 * The travel cost between two points is the rectilinear distance,
 * computed from the coordinates as a generic inline array.
 *
 * With five points, a set of roads where every point has one way in
 * and one way out is either a single tour or splits into cycles. A
 * split into cycles of at least two points each can only be a 2-cycle
 * plus a 3-cycle, because 5 = 2 + 3 is the only such partition. So
 * forbidding every 2-cycle (going i -> j -> i) is enough to force one
 * tour. For six or more points this is no longer true (3 + 3).
 *********************************************************************/

// Number of points; point 1 is the parking spot.
int nbPoints = ...;
range Points = 1..nbPoints;

// Coordinates in mm.
float xCoord[Points] = ...;
float yCoord[Points] = ...;

// Rectilinear travel distance between points (derived data).
float travel[i in Points][j in Points] = abs(xCoord[i] - xCoord[j]) + abs(yCoord[i] - yCoord[j]);

// move[i][j] = 1 when the head goes directly from point i to point j.
dvar boolean move[Points][Points];

// Objective: total head travel in mm.
minimize headTravel: sum(i in Points, j in Points: i != j) travel[i][j] * move[i][j];

subject to {
  // No move from a point to itself.
  forall(i in Points)
    noStay: move[i][i] == 0;

  // Exactly one move out of and one move into every point.
  forall(i in Points) {
    departOnce: sum(j in Points: j != i) move[i][j] == 1;
    arriveOnce: sum(j in Points: j != i) move[j][i] == 1;
  }

  // No back-and-forth between two points (forbids every 2-cycle).
  forall(i in Points, j in Points: i < j)
    noTwoCycle: move[i][j] + move[j][i] <= 1;
}
