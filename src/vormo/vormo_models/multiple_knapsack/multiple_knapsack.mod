/*********************************************************************
 * Catering vans (multiple knapsack)
 *
 * Several vans of different capacity can each carry a subset of the
 * event orders. An order goes in at most one van or is declined.
 * Maximise the revenue of the accepted orders without overfilling
 * any van.
 *********************************************************************/

// Number of event orders asking for delivery.
int nOrders = ...;

// Orders are numbered 1..nOrders.
range Orders = 1..nOrders;

// The refrigerated vans available tomorrow.
{string} Vans = ...;

// Cargo volume of each van in cubic metres.
float vanCapacity[Vans] = ...;

// Volume each order takes up, in cubic metres.
float volume[Orders] = ...;

// Revenue earned when an order is delivered, in euros.
float revenue[Orders] = ...;

// put[o][v] is 1 when order o travels in van v.
dvar boolean put[Orders][Vans];

// Objective: revenue of every accepted order.
maximize totalRevenue: sum(o in Orders, v in Vans) revenue[o] * put[o][v];

subject to {
  // An order is carried by one van at most (or declined).
  forall(o in Orders)
    atMostOneVan: sum(v in Vans) put[o][v] <= 1;

  // The orders in a van must fit its cargo volume.
  forall(v in Vans)
    vanVolume: sum(o in Orders) volume[o] * put[o][v] <= vanCapacity[v];
}
