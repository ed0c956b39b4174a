/*********************************************************************
 * Pottery studio (product mix with set-up costs and minimum batches)
 *
 * Whole pieces of each product are made, using kiln slots and labour.
 * A product that is made at all pays a one-off preparation cost and
 * must reach a minimum batch; sales are capped. Maximise revenue minus
 * material and preparation cost.
 *********************************************************************/

// A product line with its economics.
tuple Product {
  string name;      // product
  float price;      // selling price per piece
  float material;   // clay and glaze cost per piece
  float setup;      // one-off preparation cost if made at all
  int minBatch;     // smallest worthwhile batch
  int maxSales;     // most pieces the shops will buy
}

// The product lines.
{Product} Products = ...;

// Shared studio resources.
{string} Resources = ...;

// Resource use per piece of each product.
float perPiece[Products][Resources] = ...;

// Amount of each resource available this month.
float capacity[Resources] = ...;

// Pieces made of each product.
dvar int+ pieces[Products];

// made[p] is 1 when product p is made this month.
dvar boolean made[Products];

// Objective: profit after material and preparation cost.
maximize profit:
  sum(p in Products) ((p.price - p.material) * pieces[p] - p.setup * made[p]);

subject to {
  // Link the pieces made to the preparation decision of each product.
  forall(p in Products) {
    // A product not prepared is not made; otherwise sales cap the batch (big-M).
    salesCap: pieces[p] <= p.maxSales * made[p];
    // A prepared product reaches at least its minimum batch.
    minimumBatch: pieces[p] >= p.minBatch * made[p];
  }

  // Kiln slots and labour hours are not exceeded.
  forall(r in Resources)
    studioCapacity: sum(p in Products) perPiece[p][r] * pieces[p] <= capacity[r];
}
