"""Example retrieval with the real embedding model, offline: the model comes from the local cache
that vormo-setup-models fills, never from the network."""

import os

# Before the embedding library is first imported: the hub library reads this once.
os.environ["HF_HUB_OFFLINE"] = "1"

import pathlib
import re
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("sentence_transformers", reason="the embeddings extra is not installed")
pytest.importorskip("torch", reason="the embeddings extra is not installed")

import vormo
from vormo import nearfind

DEFAULT_MODEL = "sentence-transformers/all-MiniLM-L6-v2"
SHIPPED = pathlib.Path(vormo.__file__).resolve().parent / "vormo_models"
LINE = re.compile(r"^(?P<n>[ \d]\d)\. (?P<path>.+\.txt)  score=(?P<score>-?\d\.\d{4})$")

# One query per example family, phrased as a user might ask, not in the words of the stored text.
QUERIES = {
    "assignment": "one-to-one pairing of people and tasks from a cost table",
    "bin_packing": "fit all these boxes into as few identical containers as possible",
    "blending": "mix raw ingredients into a product that meets a recipe of percentage limits at least cost",
    "capacitated_facility_location": "which distribution centres with limited throughput should we rent to serve all customer areas",
    "cutting_stock": "chop long pieces of material into the shorter lengths customers ordered with minimal scrap",
    "diet": "cheapest set of meals that meets daily nutrition targets like calories and vitamins",
    "graph_colouring": "I want to shade the provinces of my board game map so that touching provinces never get the same shade, with as few shades as possible",
    "inventory_over_time": "when should a shop buy stock ahead of demand given changing purchase prices and storage fees",
    "knapsack": "choose which valuable things to take along without going over the weight allowance",
    "linear_portfolio": "how should we split our savings across investments to earn more while keeping losses in bad years small",
    "lot_sizing": "in which weeks should the plant run a batch, trading setup fees against warehousing costs",
    "machine_scheduling": "order the jobs on our equipment so that late deliveries are minimised",
    "maximum_flow": "what is the largest throughput that the links of this network can pass from start to end",
    "minimum_cost_flow": "rebalance rental bikes between stations: surplus stations send, deficit stations receive, routes have capacities and per-bike costs",
    "multiple_knapsack": "several delivery trucks of different sizes, pick which jobs to accept and which truck carries each for maximum revenue",
    "network_design": "which links to build so that every town gets the bandwidth it needs at the smallest construction cost",
    "product_mix": "decide how many of each item our factory should produce for best profit given limited machine and labour time",
    "production_planning": "monthly output plan with normal hours, extra hours and stock carried over to meet forecast orders",
    "project_scheduling": "earliest finish for a set of tasks where some can only begin after others are done",
    "set_covering": "where should we put fire stations so every suburb is reachable from at least one, spending as little as possible",
    "set_partitioning": "split the stops among a few buses using candidate tours, every stop on precisely one picked tour, cheapest in total",
    "shift_scheduling": "draw up the weekly staff timetable so every shift has enough people",
    "shortest_path": "fastest way to drive from one point of a street map to another",
    "sports_scheduling": "make a fixture calendar where each club plays every other club once",
    "timetabling": "assign classes to rooms and time slots without teachers being double booked",
    "transportation": "ship material from several suppliers to several sites at minimal haulage cost",
    "transshipment": "factories send goods to shops, some of it passing through intermediate hubs, cheapest plan",
    "travelling_salesman": "shortest round trip that calls at every location once and returns home",
    "uncapacitated_facility_location": "which branches to keep open so customers are served from the closest one at the lowest total cost",
    "vehicle_routing": "our brewery delivers kegs to pubs with two trucks of limited keg space; plan trips starting and ending at the brewery with the shortest total driving",
    "workforce_scheduling": "how many employees to hire when each works a fixed run of consecutive days and demand varies",
}


class CorpusOnce:
    """The real model, with each distinct batch embedded once: ranking embeds the unchanged corpus
    again at every call, which would make this suite slow without telling anything new."""

    def __init__(self, model):
        self.model = model
        self.memo = {}

    def encode(self, texts, **kwargs):
        key = (tuple(texts), tuple(sorted(kwargs.items())))
        if key not in self.memo:
            self.memo[key] = self.model.encode(texts, **kwargs)
        return self.memo[key]


@pytest.fixture(scope="module")
def model():
    loaded = nearfind._load_model(DEFAULT_MODEL)
    assert loaded is not None, "the bundled model is not in the local cache: run vormo-setup-models"
    with pytest.MonkeyPatch.context() as mp:
        mp.setitem(nearfind._MODEL_CACHE, DEFAULT_MODEL, CorpusOnce(loaded))
        yield loaded


def test_runs_offline(model):
    import huggingface_hub.constants

    assert huggingface_hub.constants.HF_HUB_OFFLINE


def test_every_family_has_a_query():
    assert sorted(QUERIES) == sorted(p.name for p in SHIPPED.iterdir() if p.is_dir())


def test_scores_are_cosines_in_order(model):
    out = nearfind.rank_problem_descriptions("balance workloads across machines", top_k=0)
    assert len(out) == len(nearfind._iter_description_files(SHIPPED))
    scores = [r["score"] for r in out]
    assert all(-1.0 <= s <= 1.0 for s in scores)
    assert scores == sorted(scores, reverse=True)
    # the same text as a stored description is (nearly) identical to it
    first = nearfind._read_text(nearfind._iter_description_files(SHIPPED)[0])
    best = nearfind.rank_problem_descriptions(first, top_k=1)[0]
    assert best["score"] == pytest.approx(1.0, abs=1e-4)
    assert best["path"] == str(nearfind._iter_description_files(SHIPPED)[0])


def test_query_ranks_its_family_in_the_top_three(model):
    misses = {}
    for family, query in QUERIES.items():
        top = [pathlib.Path(r["path"]).parent.name for r in nearfind.rank_problem_descriptions(query, top_k=3)]
        if family not in top:
            misses[family] = top
    hits = len(QUERIES) - len(misses)
    assert hits >= 0.9 * len(QUERIES), f"{hits}/{len(QUERIES)} families in the top 3; misses: {misses}"


def test_main_output(model, capsys):
    assert nearfind.main(["route", "delivery", "vans", "around", "cafes"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 10
    matches = [LINE.match(line) for line in lines]
    assert all(matches), lines
    assert [int(m["n"]) for m in matches] == list(range(1, 11))
    assert all(pathlib.Path(m["path"]).is_relative_to(SHIPPED) for m in matches)
    scores = [float(m["score"]) for m in matches]
    assert scores == sorted(scores, reverse=True)


def test_console_script(model):
    script = shutil.which("vormo-nearfind", path=os.path.dirname(sys.executable))
    assert script is not None
    env = {**os.environ, "HF_HUB_OFFLINE": "1"}
    out = subprocess.run([script, "pack", "crates", "onto", "trailers"], capture_output=True, text=True, env=env,
                         timeout=300)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) == 10 and all(LINE.match(line) for line in lines)
    assert "bin_packing" in lines[0]
    usage = subprocess.run([script], capture_output=True, text=True, env=env, timeout=300)
    assert (usage.returncode, usage.stdout) == (1, 'Usage: python rag "your problem description here"\n')
