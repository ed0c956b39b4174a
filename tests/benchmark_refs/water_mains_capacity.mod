{string} Nodes = ...;
tuple Pipe { string from; string to; float cap; }
{Pipe} Pipes = ...;
string source = ...;
string sink = ...;
dvar float+ flow[Pipes];
maximize delivered: sum(p in Pipes: p.to == sink) flow[p];
subject to {
  forall(p in Pipes) capacity: flow[p] <= p.cap;
  forall(n in Nodes: n != source && n != sink)
    conserve: sum(p in Pipes: p.to == n) flow[p] == sum(p in Pipes: p.from == n) flow[p];
}
