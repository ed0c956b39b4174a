"""Timings of the generator base class's tuple key, side by side with a plain-Python rendering of
the same behaviour, printed as a speed ratio: above 1.0 the extension is the faster.

Run against the installed package:  python bench/bench_generator_base.py
Nothing is asserted.
"""

from timing import side_by_side

from vormo.emitcore import SciPyCodeGeneratorBase


class PyBase:
    """The tuple key written in plain Python."""

    def _tuple_key(self, elements, env=None):
        if env is None:
            env = {}
        key = []
        for e in elements:
            if isinstance(e, dict):
                kind = e.get("type")
                if kind == "name":
                    name = e["name"]
                    key.append(env[name] if name in env else name)
                    continue
                if kind == "number" or kind == "string":
                    key.append(e["value"])
                    continue
                if kind == "tuple_literal":
                    key.append(self._tuple_key(e["elements"], env))
                    continue
            key.append(e)
        return tuple(key)


def name(n):
    return {"type": "name", "name": n}


CASES = {
    "two loop names, bound": ([name("i"), name("j")], {"i": "Paris", "j": 4}),
    "three names, one unbound": ([name("i"), name("t"), name("k")], {"i": 1, "k": 2}),
    "name, number, string": ([name("i"), {"type": "number", "value": 3}, {"type": "string", "value": "x"}], {"i": 1}),
    "nested tuple literal": ([name("i"), {"type": "tuple_literal", "elements": [name("j"), name("k")]}],
                             {"i": 1, "j": 2, "k": 3}),
    "plain values": ([1, "a", 2.5], None),
    "twelve bound names": ([name(f"v{n}") for n in range(12)], {f"v{n}": n for n in range(12)}),
}


def main():
    ext, py = SciPyCodeGeneratorBase({}), PyBase()
    print("_tuple_key against the plain-Python rendering, same elements, same run")
    print(f"  {'elements':28} {'python ns':>10} {'ext ns':>10} {'speed ratio':>12}")
    for label, (elements, env) in CASES.items():
        assert ext._tuple_key(elements, env) == py._tuple_key(elements, env)
        t_py, t_ext = side_by_side(lambda: py._tuple_key(elements, env), lambda: ext._tuple_key(elements, env),
                                   number=10_000, rounds=25)
        print(f"  {label:28} {t_py * 1e9:10.0f} {t_ext * 1e9:10.0f} {t_py / t_ext:11.2f}x")


if __name__ == "__main__":
    main()
