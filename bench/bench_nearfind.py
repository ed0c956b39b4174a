"""Timings of example retrieval with the real embedding model, offline.

Run against the installed package, after `vormo-setup-models`:  python bench/bench_nearfind.py
Prints the first call (library import and model load), a warm call over the shipped corpus and over
synthetic corpora of 100 and 1,000 descriptions, each split into reading, corpus embedding, query
embedding and scoring (dot products, records and sort).
"""

import os

os.environ.setdefault("HF_HUB_OFFLINE", "1")

import pathlib
import random
import sys
import tempfile
import time

from timing import best_of

import vormo
from vormo import nearfind

MODEL = "sentence-transformers/all-MiniLM-L6-v2"
QUERY = "plan delivery rounds for two vans with limited space, starting and ending at the bakery"
OPTIONS = {"convert_to_tensor": True, "normalize_embeddings": True, "show_progress_bar": False}

SUBJECTS = ["warehouse", "bakery", "clinic", "refinery", "school", "farm", "print shop", "depot", "airline",
            "hospital ward", "quarry", "paper mill", "cafe", "utility", "charity", "orchard"]
THINGS = ["trucks", "nurses", "orders", "crates", "machines", "rooms", "pipelines", "courses", "shifts",
          "pallets", "products", "routes", "suppliers", "stores", "servers", "batches"]
GOALS = ["keep the total cost as low as possible", "earn as much profit as we can", "finish as early as possible",
         "use as few vehicles as we can", "meet every demand without running out of stock",
         "spread the work fairly across the team"]
RULES = ["each {a} can handle at most {n} {b} per week", "every {a} needs at least {n} {b}",
         "the {a} costs {n} euros per unit of {b}", "no more than {n} {b} may share one {a}",
         "a {a} that is used at all costs a fixed {n} euros", "{b} must arrive within {n} hours"]


def description(rnd):
    subject = rnd.choice(SUBJECTS)
    parts = [f"I run the planning for a {subject} and need help with our {rnd.choice(THINGS)}."]
    while sum(len(p.split()) for p in parts) < 150:
        rule = rnd.choice(RULES).format(a=rnd.choice(THINGS)[:-1], b=rnd.choice(THINGS), n=rnd.randint(2, 900))
        parts.append(rule[0].upper() + rule[1:] + ".")
    parts.append(f"We want to {rnd.choice(GOALS)}.")
    return " ".join(parts)


def synthetic_corpus(root, count, seed=11):
    rnd = random.Random(seed)
    for i in range(count):
        path = root / f"family_{i % 25:02d}" / f"example_{i:04d}.txt"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(description(rnd), encoding="utf-8")
    return root


def split(model, folder, repeat):
    """Best-of timings of the parts of one warm ranking call."""
    import torch

    files = nearfind._iter_description_files(folder)
    texts = [nearfind._read_text(p) for p in files]
    reading = best_of(lambda: [nearfind._read_text(p) for p in nearfind._iter_description_files(folder)], repeat=repeat)
    embedding = best_of(lambda: model.encode(texts, **OPTIONS), repeat=repeat)
    query = best_of(lambda: model.encode([QUERY], **OPTIONS)[0], repeat=repeat)
    docs = model.encode(texts, **OPTIONS)
    q = model.encode([QUERY], **OPTIONS)[0]
    scoring = best_of(lambda: torch.matmul(docs, q).cpu().tolist(), repeat=max(repeat, 20))
    total = best_of(lambda: nearfind.rank_problem_descriptions(QUERY, str(folder), top_k=0), repeat=repeat)
    return len(files), reading, embedding, query, scoring, total


def report(label, figures):
    count, reading, embedding, query, scoring, total = figures
    rest = max(total - reading - embedding - query - scoring, 0.0)
    print(f"{label:<28} {count:5d} descriptions: call {total * 1e3:9.1f} ms = reading {reading * 1e3:7.1f}"
          f" + corpus embedding {embedding * 1e3:9.1f} + query {query * 1e3:6.1f} + scoring {scoring * 1e3:6.2f}"
          f" + records/sort {rest * 1e3:6.1f} ms   ({total / count * 1e3:6.2f} ms/description)")


def main():
    import torch

    print(f"python {sys.version.split()[0]}, torch {torch.__version__}, {torch.get_num_threads()} threads")
    shipped = pathlib.Path(vormo.__file__).resolve().parent / "vormo_models"

    start = time.perf_counter()
    nearfind.rank_problem_descriptions(QUERY)
    first = time.perf_counter() - start
    model = nearfind._load_model(MODEL)
    if model is None:
        sys.exit("the embedding model could not be loaded: install the embeddings extra and run vormo-setup-models")
    warm = best_of(lambda: nearfind.rank_problem_descriptions(QUERY), repeat=3)
    print(f"first call (import, model load, ranking): {first:7.2f} s; warm call afterwards: {warm:6.2f} s;"
          f" so loading costs about {first - warm:5.2f} s once per process")

    report("shipped corpus", split(model, shipped, repeat=3))
    with tempfile.TemporaryDirectory() as tmp:
        for count, repeat in ((100, 3), (1000, 1)):
            folder = synthetic_corpus(pathlib.Path(tmp) / f"c{count}", count)
            report("synthetic corpus", split(model, folder, repeat=repeat))


if __name__ == "__main__":
    main()
