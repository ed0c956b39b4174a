/*********************************************************************
 * Bottled water lanes (integer transportation with truckloads)
 *
 * Plants ship whole pallets to distributors over contracted lanes only.
 * Each lane is paid per truck, and a truck holds a limited number of
 * pallets. Choose pallets and trucks per lane so that every
 * distributor's minimum is met at the lowest trucking cost.
 *********************************************************************/

// A contracted lane from a plant to a distributor.
tuple Lane {
  string plant;        // origin plant
  string distributor;  // destination distributor
}

// Bottling plants and distributors.
{string} Plants = ...;
{string} Distributors = ...;

// The lanes with a contract.
{Lane} Lanes = ...;

// Pallets each plant can release per week.
int release[Plants] = ...;

// Pallets each distributor must receive at least.
int minimum[Distributors] = ...;

// Price of one truck on each lane.
float truckPrice[Lanes] = ...;

// Pallets that fit in one truck.
int palletsPerTruck = ...;

// Trucks the carrier puts on a lane per week at most.
int maxTrucks = ...;

// Pallets sent on each lane.
dvar int+ pallets[Lanes];

// Trucks booked on each lane, within the carrier's weekly limit.
dvar int+ trucks[Lanes] in 0..maxTrucks;

// Objective: the weekly trucking bill.
minimize truckingBill: sum(l in Lanes) truckPrice[l] * trucks[l];

subject to {
  // A plant releases no more than its weekly output.
  forall(p in Plants)
    plantRelease: sum(l in Lanes: l.plant == p) pallets[l] <= release[p];

  // Every distributor receives at least its minimum.
  forall(d in Distributors)
    distributorMinimum: sum(l in Lanes: l.distributor == d) pallets[l] >= minimum[d];

  // The pallets on a lane fit in the trucks booked for it.
  forall(l in Lanes)
    truckFill: pallets[l] <= palletsPerTruck * trucks[l];
}
