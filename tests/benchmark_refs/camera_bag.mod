{string} Items = ...;
float grams[Items] = ...;
float score[Items] = ...;
float limit = ...;
dvar boolean take[Items];
maximize total: sum(i in Items) score[i] * take[i];
subject to {
  weight: sum(i in Items) grams[i] * take[i] <= limit;
  body: take["body"] == 1;
}
