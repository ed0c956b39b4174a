{string} Nodes = ...;
string hub = ...;
float need[Nodes] = ...;
tuple Link { string a; string b; float build; float unit; }
{Link} Links = ...;
float linkCap = ...;
dvar boolean built[Links];
dvar float+ ab[Links];
dvar float+ ba[Links];
minimize cost: sum(l in Links) (l.build * built[l] + l.unit * ab[l] + l.unit * ba[l]);
subject to {
  forall(l in Links) capacity: ab[l] + ba[l] <= linkCap * built[l];
  forall(n in Nodes: n != hub)
    serve: sum(l in Links: l.b == n) ab[l] + sum(l in Links: l.a == n) ba[l]
         - sum(l in Links: l.a == n) ab[l] - sum(l in Links: l.b == n) ba[l] == need[n];
}
