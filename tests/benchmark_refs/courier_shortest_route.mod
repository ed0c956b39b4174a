{string} Towns = ...;
tuple Road { string from; string to; float km; }
{Road} Roads = ...;
string origin = ...;
string target = ...;
dvar float+ use[Roads];
minimize distance: sum(r in Roads) r.km * use[r];
subject to {
  forall(t in Towns)
    flow: sum(r in Roads: r.from == t) use[r] - sum(r in Roads: r.to == t) use[r]
        == (t == origin) - (t == target);
}
