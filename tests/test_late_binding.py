"""Every call from one module-level operation to a sibling, and every import-time name, goes
through the module namespace: replacing the name on the module changes what the next call uses.
One row per call site; the replacement raises a marker that no ordinary-error guard swallows."""

import sys
import types

import pytest

import vormo.modelsmith as ms
import vormo.tokenledger as tl
from scripted_llm import PROVIDER, RecordingCompiler, ScriptedLLM, Stop, pair, reply, verdict


def stop(*args, **kwargs):
    raise Stop()


@pytest.fixture
def corpus(tmp_path):
    (tmp_path / "a.txt").write_text("A problem.")
    (tmp_path / "a.mod").write_text("dvar float x;")
    (tmp_path / "a.dat").write_text("n = 1;")
    return tmp_path


@pytest.fixture
def workflow_fakes(monkeypatch, tmp_path, corpus):
    """generative_solve with a scripted LLM: one compile finding, then a clean pair that is not
    aligned, then a revision that is; or, with the alignment check off, a final assessment."""
    monkeypatch.setattr(ms, "_infer_provider", lambda p, m: PROVIDER, raising=False)
    monkeypatch.setattr(ms, "_get_grammar_implementation", lambda mode: "G")
    monkeypatch.setattr(ms, "rag_rank", lambda **kw: [{"path": str(corpus / "a.txt")}])

    def solve(alignment=True):
        llm = ScriptedLLM(pair("m", "d"), pair("m", "d"), verdict(False, "no"), pair("m", "d"),
                          verdict(True, "yes")) if alignment else ScriptedLLM(pair("m", "d"), reply("final"))
        if getattr(ms, "_llm_generate_text", None) is not stop:
            monkeypatch.setattr(ms, "_llm_generate_text", llm, raising=False)
        if ms.VormoCompiler is not stop:
            monkeypatch.setattr(ms, "VormoCompiler", RecordingCompiler([ValueError("x")] if alignment else []))
        return ms.generative_solve("p", str(tmp_path / "o.mod"), str(tmp_path / "o.dat"), model_name="m",
                                   alignment_check=alignment, progress=lambda m: None, iterations=3)
    return solve


def feedback(tmp_path):
    (tmp_path / "f.mod").write_text("m")
    (tmp_path / "f.dat").write_text("d")
    return ms.generative_feedback("q", str(tmp_path / "f.mod"), str(tmp_path / "f.dat"), mode=ms.Grammar.NONE)


@pytest.mark.parametrize("name, alignment", [
    ("_get_grammar_implementation", True),
    ("_infer_provider", True),
    ("_notify", True),
    ("_gather_few_shots", True),
    ("_build_generation_prompt", True),
    ("_llm_generate_text", True),
    ("_json_loads_relaxed", True),
    ("VormoCompiler", True),
    ("_build_revision_prompt_syntax", True),
    ("_build_alignment_prompt", True),
    ("_build_revision_prompt_alignment", True),
    ("_build_final_assessment_prompt", False),
    ("_estimate_costs", True),
    ("_estimate_costs", False),
])
def test_generative_solve_call_sites(monkeypatch, workflow_fakes, name, alignment):
    assert workflow_fakes(alignment) in ("yes", "final")  # the scenario runs as it stands
    monkeypatch.setattr(ms, name, stop, raising=False)
    with pytest.raises(Stop):
        workflow_fakes(alignment)


@pytest.mark.parametrize("name", ["rag_rank", "_safe_read_text", "_find_pair_in_folder", "_notify"])
def test_gather_few_shots_call_sites(monkeypatch, corpus, name):
    monkeypatch.setattr(ms, "rag_rank", lambda **kw: [{"path": str(corpus / "a.txt")}])
    assert len(ms._gather_few_shots("q", 1, corpus, print)) == 1
    monkeypatch.setattr(ms, name, stop)
    with pytest.raises(Stop):
        ms._gather_few_shots("q", 1, corpus, print)


@pytest.mark.parametrize("name", ["_infer_provider", "_get_grammar_implementation", "_notify",
                                  "_build_feedback_prompt", "_llm_generate_text", "_json_loads_relaxed"])
def test_generative_feedback_call_sites(monkeypatch, tmp_path, name):
    monkeypatch.setattr(ms, "_infer_provider", lambda p, m: PROVIDER, raising=False)
    monkeypatch.setattr(ms, "_llm_generate_text", lambda **kw: '{"feedback": "ok"}', raising=False)
    assert feedback(tmp_path) == {"feedback": "ok"}
    monkeypatch.setattr(ms, name, stop)
    with pytest.raises(Stop):
        feedback(tmp_path)


@pytest.mark.parametrize("name, call", [
    ("extract_json_from_markdown", lambda: ms._json_loads_relaxed("Reply: {\"a\": 1}")),
    ("_read_vormo_grammar", lambda: ms._get_grammar_implementation(ms.Grammar.BNF)),
    ("_read_vormo_code", lambda: ms._get_grammar_implementation(ms.Grammar.CODE)),
    ("_read_file", lambda: ms._read_vormo_code()),
    ("logger", lambda: ms._notify(None, "m")),
])
def test_modelsmith_building_block_call_sites(monkeypatch, name, call):
    call()
    replacement = types.SimpleNamespace(isEnabledFor=stop) if name == "logger" else stop
    monkeypatch.setattr(ms, name, replacement)
    with pytest.raises(Stop):
        call()


@pytest.fixture
def no_tokenizer(monkeypatch):
    monkeypatch.setitem(sys.modules, "tiktoken", None)


RESP = types.SimpleNamespace(usage=None, usage_metadata=None)


@pytest.mark.parametrize("name, call", [
    ("_parse_pricing", lambda: tl.estimate_costs(types.SimpleNamespace(model="m"), {"prompt_tokens": 1})),
    ("estimate_costs", lambda: tl.exercise_estimate_costs("m")),
    ("exercise_estimate_costs", lambda: tl.main()),
    ("_approx_token_count", lambda: tl._count_openai_tokens("abc", "m")),
    ("_count_openai_tokens", lambda: tl._extract_openai_usage(RESP, "in", "out", "m")),
    ("_usage_dict", lambda: tl._extract_openai_usage(RESP, "in", "out", "m")),
    ("_approx_token_count", lambda: tl._extract_gemini_usage(RESP, "in", "out")),
    ("_usage_dict", lambda: tl._extract_gemini_usage(RESP, "in", "out")),
])
def test_tokenledger_call_sites(monkeypatch, tmp_path, no_tokenizer, capsys, name, call):
    monkeypatch.setattr(tl, "PRICING_URL", str(tmp_path / "no-table.md"))
    tl.clear_pricing_cache()
    call()
    monkeypatch.setattr(tl, name, stop)
    with pytest.raises(Stop):
        call()
    tl.clear_pricing_cache()
