range Blocks = 1..6;
float need[Blocks] = ...;
{string} Kinds = ...;
int length[Kinds] = ...;
float pay[Kinds] = ...;
dvar int+ start[Kinds][Blocks];
minimize cost: sum(k in Kinds, b in Blocks: b + length[k] - 1 <= 6) pay[k] * start[k][b];
subject to {
  forall(k in Kinds, b in Blocks: b + length[k] - 1 > 6) tooLate: start[k][b] == 0;
  forall(b in Blocks)
    cover: sum(k in Kinds, s in Blocks: s <= b && b <= s + length[k] - 1) start[k][s] >= need[b];
}
