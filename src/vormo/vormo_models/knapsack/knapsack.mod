/*********************************************************************
 * Relief flight loading (0-1 knapsack)
 *
 * A chartered aircraft can carry a limited payload. Every consignment
 * is either loaded whole or left for a later flight. Choose the set of
 * consignments with the largest total priority score whose combined
 * weight fits the payload limit.
 *********************************************************************/

// Consignments waiting at the airport.
{string} Items = ...;

// Weight of each consignment in kilograms.
float weight[Items] = ...;

// Priority score given by the field team to each consignment.
float value[Items] = ...;

// Payload limit of the aircraft in kilograms.
float capacity = ...;

// load[i] is 1 when consignment i goes on this flight, 0 otherwise.
dvar boolean load[Items];

// Total weight put on board (used in the payload constraint).
dexpr float loadedWeight = sum(i in Items) weight[i] * load[i];

// Objective: the highest total priority score on board.
maximize totalScore: sum(i in Items) value[i] * load[i];

subject to {
  // The loaded consignments must not exceed the payload limit.
  payloadLimit: loadedWeight <= capacity;
}
