"""Ranking of the worked examples without the tensor library, with the corpus embeddings kept on disk.

``rank_problem_descriptions`` here takes the same arguments, returns the same records in the same
order and raises the same errors as ``vormo.nearfind.rank_problem_descriptions``; the scores agree
to well within 1e-4. Two things make it fast:

* the sentence encoder (a BERT-type model with mean pooling, such as all-MiniLM-L6-v2) runs on
  numpy, straight from the ``model.safetensors`` and ``tokenizer.json`` that ``vormo-setup-models``
  placed in the local model cache; the weights are memory-mapped, nothing is fetched from the
  network and neither torch nor the embedding library is imported;
* the descriptions' embeddings are stored in a cache file (``$VORMO_CACHE_DIR``, else
  ``$XDG_CACHE_HOME/vormo``, else ``~/.cache/vormo``), one per model and example folder, keyed by
  each file's path, size, modification time and text; a changed, added or removed description, or
  a changed model, rewrites the file. It is written to a temporary name and renamed into place,
  so concurrent runs never see a torn file. A description the cache does not hold yet is taken
  from the table of the shipped examples' embeddings (``SHIPPED_EMBEDDINGS``) when that table
  holds its text and was made with model files of the same contents, so even an empty cache
  starts without embedding the shipped examples.

When the fast path cannot be used (numpy or ``tokenizers`` missing, the model not in the local
cache, a model of another kind) the call is handed to ``nearfind.rank_problem_descriptions``.

numpy and tokenizers come with the ``fastrank`` extra and are imported on first use only.
"""

from __future__ import annotations

import hashlib
import json
import logging
import os
import tempfile
import threading
import weakref
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import Any

__all__ = ["rank_problem_descriptions", "Encoder", "load_encoder", "model_folder", "cache_dir", "corpus_embeddings",
           "precompute", "ship_embeddings"]

MODEL_NAME = "sentence-transformers/all-MiniLM-L6-v2"
EXAMPLE_DIR = "vormo_models"
PREVIEW_CHARS = 300
MAX_CHARS = 100000
# Bumped whenever the cached numbers would come out differently (encoder or reading changes).
CACHE_FORMAT = 1
CACHE_MAGIC = b"VORMOEMB"
# The dense layers run over at most this many tokens at a time, which bounds the working memory.
CHUNK_TOKENS = 1024
# Rows of the feed-forward layer's activation computed at a time (its temporaries stay small).
GELU_ROWS = 256
# Threads embedding a corpus; None: one per usable core, at most two (see corpus_workers).
WORKERS: int | None = None
# The shipped descriptions' embeddings (a file beside this module, made by ship_embeddings), used
# for any description whose text they hold when the local model files are the ones they were made
# with; None: never used.
SHIPPED_EMBEDDINGS: str | None = "corpus_embeddings.bin"

log = logging.getLogger(__name__)

_ENCODERS: dict[str, Encoder | None] = {}
# The model folder each remembered encoder (or failure) was made from.
_ENCODER_FOLDERS: dict[str, Path | None] = {}
_ENCODERS_LOCK = threading.Lock()
# Texts run through an encoder in this process (a cached embedding is not counted).
counts = {"embedded": 0, "shipped": 0}
# Called with the number of descriptions about to be embedded, before a corpus (or the part of it
# the cache does not hold) is embedded: a caller can start work of its own beside the products.
on_corpus_embedding: list[Callable[[int], None]] = []


class UnsupportedModel(Exception):
    """The model's files are missing or describe a model this encoder does not run."""


# ----------------------------------------------------------------------------------------------
# The encoder
# ----------------------------------------------------------------------------------------------

def model_folder(model_name: str) -> Path | None:
    """The folder holding the model's files: the name itself if it is a folder, else the snapshot
    the local model-hub cache points at. Never contacts the hub."""
    from .setup_models import current_snapshot, hub_cache_dir, repo_folder

    direct = Path(model_name).expanduser()
    if direct.is_dir():
        return direct
    if model_name.count("/") != 1:
        return None
    return current_snapshot(repo_folder(hub_cache_dir(), model_name))


def _read_json(path: Path, default: Any = None) -> Any:
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return default


def _safetensors(path: Path, offsets: dict[str, int] | None = None) -> dict[str, Any]:
    """The tensors of a safetensors file as read-only numpy arrays over a memory map (and, in
    ``offsets`` when given, where each one's data starts in the file)."""
    import mmap

    import numpy as np

    kinds = {"F32": np.float32, "F16": np.float16, "F64": np.float64, "I64": np.int64}
    with open(path, "rb") as f:
        mapped = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    if hasattr(mapped, "madvise") and hasattr(mmap, "MADV_WILLNEED"):
        try:
            # Read ahead while the tokenizer loads: a model not in the page cache then arrives
            # in large reads rather than one page fault at a time.
            mapped.madvise(mmap.MADV_WILLNEED)
        except OSError:
            pass
    if len(mapped) < 8:
        raise UnsupportedModel(f"{path} is too short")
    size = int.from_bytes(mapped[:8], "little")
    if size > len(mapped) - 8:
        raise UnsupportedModel(f"{path} has a broken header")
    header = json.loads(bytes(mapped[8 : 8 + size]))
    base = 8 + size
    tensors = {}
    for name, entry in header.items():
        if name == "__metadata__":
            continue
        kind = kinds.get(entry.get("dtype"))
        if kind is None:
            continue
        begin, end = entry["data_offsets"]
        shape = tuple(entry["shape"])
        count = 1
        for n in shape:
            count *= n
        if end - begin != count * np.dtype(kind).itemsize or base + end > len(mapped):
            raise UnsupportedModel(f"{path}: tensor {name} does not fit the file")
        tensors[name] = np.frombuffer(mapped, dtype=kind, count=count, offset=base + begin).reshape(shape)
        if offsets is not None:
            offsets[name] = base + begin
    return tensors


def _fingerprint(folder: Path, names: Sequence[str]) -> str:
    parts = [str(folder.resolve())]
    for name in names:
        try:
            st = os.stat(folder / name)
        except OSError:
            parts.append(f"{name}:-")
            continue
        parts.append(f"{name}:{st.st_size}:{st.st_mtime_ns}")
    return "|".join(parts)


class Encoder:
    """Sentence embeddings of a BERT-type encoder with mean pooling, computed with numpy: the
    same numbers the embedding library produces (float32 throughout), unit length."""

    FILES = ("config.json", "model.safetensors", "tokenizer.json", "modules.json", "sentence_bert_config.json",
             "1_Pooling/config.json")

    def __init__(self, folder: Path) -> None:
        import numpy as np
        from tokenizers import Tokenizer

        self.np = np
        self.folder = Path(folder)
        config = _read_json(self.folder / "config.json")
        if not isinstance(config, dict) or config.get("model_type") != "bert":
            raise UnsupportedModel("not a BERT-type model")
        if config.get("position_embedding_type", "absolute") != "absolute" or config.get("hidden_act") != "gelu":
            raise UnsupportedModel("unsupported position embedding or activation")
        modules = _read_json(self.folder / "modules.json", [])
        kinds = [m.get("type", "").rsplit(".", 1)[-1] for m in modules]
        if modules and kinds not in (["Transformer", "Pooling"], ["Transformer", "Pooling", "Normalize"]):
            raise UnsupportedModel(f"unsupported module chain {kinds}")
        pooling = _read_json(self.folder / "1_Pooling" / "config.json", {"pooling_mode_mean_tokens": True})
        modes = [k for k, v in pooling.items() if k.startswith("pooling_mode") and v]
        if modes != ["pooling_mode_mean_tokens"]:
            raise UnsupportedModel(f"unsupported pooling {modes}")
        st_config = _read_json(self.folder / "sentence_bert_config.json", {})
        self.max_tokens = int(st_config.get("max_seq_length") or config.get("max_position_embeddings", 512))
        self.max_tokens = min(self.max_tokens, int(config.get("max_position_embeddings", 512)))

        self.tokenizer = Tokenizer.from_file(str(self.folder / "tokenizer.json"))
        self.tokenizer.no_padding()
        self.tokenizer.enable_truncation(max_length=self.max_tokens)

        self.heads = int(config["num_attention_heads"])
        self.eps = float(config.get("layer_norm_eps", 1e-12))
        offsets: dict[str, int] = {}
        t = _safetensors(self.folder / "model.safetensors", offsets)
        prefix = "bert." if "bert.embeddings.word_embeddings.weight" in t else ""

        def get(name: str) -> Any:
            try:
                value = t[prefix + name]
            except KeyError:
                raise UnsupportedModel(f"tensor {name} missing") from None
            return value if value.dtype == np.float32 else value.astype(np.float32)

        self.word = get("embeddings.word_embeddings.weight")
        self._word_rows = self._row_reader(self.folder / "model.safetensors", t, offsets,
                                           prefix + "embeddings.word_embeddings.weight")
        self.position = get("embeddings.position_embeddings.weight")
        self.token_type = get("embeddings.token_type_embeddings.weight")[0]
        self.emb_norm = (get("embeddings.LayerNorm.weight"), get("embeddings.LayerNorm.bias"))
        self.hidden = self.word.shape[1]
        if self.hidden % self.heads:
            raise UnsupportedModel("hidden size is not a multiple of the head count")
        self.layers = []
        for i in range(int(config["num_hidden_layers"])):
            p = f"encoder.layer.{i}."
            # The weights stay in the file's (out, in) layout: products with their transposed views
            # need no copy.
            self.layers.append((
                tuple(get(p + f"attention.self.{n}.weight").T for n in ("query", "key", "value")),
                tuple(get(p + f"attention.self.{n}.bias") for n in ("query", "key", "value")),
                get(p + "attention.output.dense.weight").T, get(p + "attention.output.dense.bias"),
                (get(p + "attention.output.LayerNorm.weight"), get(p + "attention.output.LayerNorm.bias")),
                get(p + "intermediate.dense.weight").T, get(p + "intermediate.dense.bias"),
                get(p + "output.dense.weight").T, get(p + "output.dense.bias"),
                (get(p + "output.LayerNorm.weight"), get(p + "output.LayerNorm.bias")),
            ))
        self.dimension = self.hidden
        self.fingerprint = _fingerprint(self.folder, self.FILES)
        self._content_digest: str | None = None

    def content_digest(self) -> str:
        """A digest of the model files' contents (the same on every machine that has the same
        files, wherever they are), computed on first use."""
        if self._content_digest is None:
            whole = hashlib.sha256()
            for name in self.FILES:
                whole.update(name.encode("utf-8") + b"\0")
                try:
                    with open(self.folder / name, "rb") as f:
                        whole.update(hashlib.file_digest(f, "sha256").digest())
                except OSError:
                    whole.update(b"-")
            self._content_digest = whole.hexdigest()
        return self._content_digest

    def _row_reader(self, path: Path, tensors: dict[str, Any], offsets: dict[str, int], name: str) -> Any:
        """A function giving rows of the word-embedding matrix read from the file, or None to index
        the mapped matrix. Read rows are not mapped into the process: a corpus touches most of a
        matrix of tens of megabytes for a few thousand distinct tokens."""
        np = self.np
        matrix = tensors.get(name)
        if matrix is None or matrix.dtype != np.float32 or matrix.ndim != 2 or name not in offsets:
            return None
        try:
            fd = os.open(path, os.O_RDONLY)
        except OSError:
            return None
        weakref.finalize(self, os.close, fd)
        start, (rows, cols) = offsets[name], matrix.shape
        row_bytes = cols * 4

        def read(ids: Any) -> Any:
            unique, inverse = np.unique(ids, return_inverse=True)
            if len(unique) == 0 or unique[0] < 0 or unique[-1] >= rows:
                return matrix[ids]  # the mapped matrix raises what indexing raises
            out = np.empty((len(unique), cols), dtype=np.float32)
            # One read per run of consecutive token numbers.
            breaks = np.flatnonzero(np.diff(unique) != 1) + 1
            for first, stop in zip([0, *breaks.tolist()], [*breaks.tolist(), len(unique)]):
                size = (stop - first) * row_bytes
                data = os.pread(fd, size, start + int(unique[first]) * row_bytes)
                if len(data) != size:
                    return matrix[ids]
                out[first:stop] = np.frombuffer(data, dtype=np.float32).reshape(stop - first, cols)
            return out[inverse.reshape(-1)]

        return read

    # -- the pieces of the forward pass ------------------------------------------------------

    def _layer_norm(self, x: Any, weight: Any, bias: Any) -> Any:
        np = self.np
        x = x - x.mean(axis=-1, keepdims=True)
        var = np.mean(np.square(x), axis=-1, keepdims=True)
        x *= 1.0 / np.sqrt(var + np.float32(self.eps))
        x *= weight
        x += bias
        return x

    def _gelu(self, x: Any) -> Any:
        """x * Phi(x), in place, with the error function to float32 precision (absolute error
        below 1.5e-7, Abramowitz and Stegun 7.1.26); numpy has no erf of its own. With
        z = |x| / sqrt(2), t = 1 / (1 + p z) and q = (1 - erf(z)) / 2 = t P(t) exp(-z^2) / 2,
        Phi(x) is 1 - q for x >= 0 and q below: copysign(1/2 - q, x) + 1/2 in one pass."""
        np = self.np
        f32 = np.float32
        t = np.abs(x)
        t *= f32(0.3275911 * 0.7071067811865476)
        t += f32(1.0)
        np.reciprocal(t, out=t)
        e = np.square(x)
        e *= f32(-0.5)
        np.exp(e, out=e)                                  # exp(-z^2)
        poly = t * f32(0.5 * 1.061405429)                 # the halving folded into P
        for c in (-1.453152027, 1.421413741, -0.284496736, 0.254829592):
            poly += f32(0.5 * c)
            poly *= t
        del t
        poly *= e                                         # q
        del e
        np.subtract(f32(0.5), poly, out=poly)
        np.copysign(poly, x, out=poly)
        poly += f32(0.5)
        x *= poly
        return x

    def _attention(self, q: Any, k: Any, v: Any, lengths: Sequence[int]) -> Any:
        """Scaled dot-product attention of each sequence with itself; q is already scaled."""
        np = self.np
        h, d = self.heads, self.hidden
        dh = d // h
        out = np.empty((q.shape[0], d), dtype=np.float32)
        start = 0
        for n in lengths:
            qs = q[start : start + n].reshape(n, h, dh).transpose(1, 0, 2)
            ks = k[start : start + n].reshape(n, h, dh).transpose(1, 2, 0)
            vs = v[start : start + n].reshape(n, h, dh).transpose(1, 0, 2)
            scores = np.matmul(qs, ks)
            scores -= scores.max(axis=-1, keepdims=True)
            np.exp(scores, out=scores)
            scores *= np.reciprocal(scores.sum(axis=-1, keepdims=True))
            out[start : start + n] = np.matmul(scores, vs).transpose(1, 0, 2).reshape(n, d)
            start += n
        return out

    def _encode_chunk(self, ids: list[list[int]]) -> Any:
        """Mean-pooled, unit-length embeddings of token sequences; the sequences are laid end to
        end (no padding), the dense layers see all tokens at once and attention stays within
        each sequence."""
        np = self.np
        lengths = [len(s) for s in ids]
        flat = np.fromiter((i for s in ids for i in s), dtype=np.int64, count=sum(lengths))
        positions = np.concatenate([np.arange(n) for n in lengths])
        x = self._word_rows(flat) if self._word_rows is not None else self.word[flat]
        x += self.position[positions]
        x += self.token_type
        x = self._layer_norm(x, *self.emb_norm)
        scale = np.float32(1.0 / np.sqrt(self.hidden // self.heads))
        for qkv_w, qkv_b, out_w, out_b, norm1, in_w, in_b, down_w, down_b, norm2 in self.layers:
            q, k, v = (x @ w for w in qkv_w)
            q += qkv_b[0]
            q *= scale
            k += qkv_b[1]
            v += qkv_b[2]
            attended = self._attention(q, k, v, lengths) @ out_w
            del q, k, v
            attended += out_b
            attended += x
            x = self._layer_norm(attended, *norm1)
            inner = x @ in_w
            inner += in_b
            for row in range(0, len(inner), GELU_ROWS):  # small temporaries
                self._gelu(inner[row : row + GELU_ROWS])
            down = inner @ down_w
            down += down_b
            down += x
            x = self._layer_norm(down, *norm2)
        ends = np.cumsum(lengths)
        pooled = np.add.reduceat(x, ends - np.asarray(lengths), axis=0) / np.asarray(lengths, dtype=np.float32)[:, None]
        norms = np.sqrt(np.sum(np.square(pooled), axis=1, keepdims=True))
        return (pooled / np.maximum(norms, np.float32(1e-12))).astype(np.float32)

    def token_ids(self, texts: Sequence[str]) -> list[list[int]]:
        return [e.ids for e in self.tokenizer.encode_batch(list(texts))]

    def embed(self, texts: Sequence[str]) -> Any:
        """One unit-length float32 row per text, in input order. Equal texts are embedded once,
        so they get exactly equal rows (and equal scores)."""
        unique = list(dict.fromkeys(texts))
        with _ENCODERS_LOCK:
            counts["embedded"] += len(unique)
        with _one_blas_thread():
            rows = self._embed(unique)
        if len(unique) == len(texts):
            return rows
        where = {text: i for i, text in enumerate(unique)}
        return rows[[where[text] for text in texts]]

    def _embed(self, texts: Sequence[str]) -> Any:
        np = self.np
        out = np.zeros((len(texts), self.dimension), dtype=np.float32)
        ids = self.token_ids(texts)
        chunks = _chunks([len(s) for s in ids])
        workers = min(corpus_workers(), len(chunks))
        if workers <= 1:
            for chunk in chunks:
                out[chunk] = self._encode_chunk([ids[j] for j in chunk])
            return out
        # The products release the interpreter lock, so the chunks are shared out between threads
        # (longest first, each to the least loaded thread); every chunk is computed exactly as it
        # would be alone, so the rows do not depend on the number of threads.
        shares: list[list[list[int]]] = [[] for _ in range(workers)]
        loads = [0] * workers
        for chunk in sorted(chunks, key=lambda c: -sum(len(ids[j]) for j in c)):
            least = loads.index(min(loads))
            shares[least].append(chunk)
            loads[least] += sum(len(ids[j]) for j in chunk)
        failures: list[BaseException] = []

        def work(share: list[list[int]]) -> None:
            try:
                for chunk in share:
                    out[chunk] = self._encode_chunk([ids[j] for j in chunk])
            except BaseException as exc:  # noqa: BLE001 - raised again in the calling thread
                failures.append(exc)

        threads = [threading.Thread(target=work, args=(share,), name="vormo-embed", daemon=True)
                   for share in shares[1:]]
        for thread in threads:
            thread.start()
        work(shares[0])
        for thread in threads:
            thread.join()
        if failures:
            raise failures[0]
        return out

    def dense_macs_per_token(self) -> int:
        """Multiply-adds of the dense layers for one token (the bulk of the work)."""
        return sum(int(w.shape[0]) * int(w.shape[1]) for layer in self.layers for w in (*layer[0], layer[2], layer[5],
                                                                                           layer[7]))


def _chunks(lengths: Sequence[int]) -> list[list[int]]:
    """The sequences in order of length, cut into groups of at most CHUNK_TOKENS tokens (a longer
    sequence alone)."""
    order = sorted(range(len(lengths)), key=lambda i: lengths[i])
    chunks: list[list[int]] = []
    chunk: list[int] = []
    tokens = 0
    for i in order:
        if chunk and tokens + lengths[i] > CHUNK_TOKENS:
            chunks.append(chunk)
            chunk, tokens = [], 0
        chunk.append(i)
        tokens += lengths[i]
    if chunk:
        chunks.append(chunk)
    return chunks


def corpus_workers() -> int:
    """Threads that embed a corpus: ``WORKERS`` if set, else two when this process may use two
    cores and the machine leaves one of them idle (one-minute load average), else one. On a busy
    machine a second thread only makes the two wait on each other."""
    if WORKERS is not None:
        return max(1, int(WORKERS))
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    try:
        idle = cores - os.getloadavg()[0]
    except (AttributeError, OSError):
        idle = 0.0
    return 2 if cores >= 2 and idle >= 1.0 else 1


_CONTROLLER: list[Any] = []


@contextmanager
def _one_blas_thread() -> Iterator[None]:
    """Run the products on one BLAS thread. The attention products are small and many; threaded,
    they spend their time waiting for each other, the more so on a busy machine (measured on two
    shared cores: a corpus embedding took several times longer with the default threads). Without
    threadpoolctl the library's own setting stays."""
    if not _CONTROLLER:
        try:
            from threadpoolctl import ThreadpoolController

            _CONTROLLER.append(ThreadpoolController())
        except Exception:  # absent, or it cannot inspect this process
            _CONTROLLER.append(None)
    controller = _CONTROLLER[0]
    if controller is None:
        yield
        return
    with controller.limit(limits=1, user_api="blas"):
        yield


def load_encoder(model_name: str) -> Encoder | None:
    """The numpy encoder for a model name, once per process and model folder; None (remembered until
    the model's folder in the local cache changes, e.g. another cache folder or a fresh set-up) when it
    cannot be used, with the reason logged at debug level."""
    try:
        folder: Path | None = model_folder(model_name)
    except Exception as exc:  # an unreadable cache folder: the embedding library ranks
        log.debug("fast ranking unavailable for %s (%s); using the embedding library", model_name, exc)
        folder = None
    with _ENCODERS_LOCK:
        if model_name in _ENCODERS and _ENCODER_FOLDERS.get(model_name) == folder:
            return _ENCODERS[model_name]
        encoder: Encoder | None = None
        try:
            if folder is None:
                raise UnsupportedModel("the model is not in the local model cache (run vormo-setup-models)")
            encoder = Encoder(folder)
        except Exception as exc:  # any file or library the encoder cannot use: the embedding library ranks
            log.debug("fast ranking unavailable for %s (%s); using the embedding library", model_name, exc)
            encoder = None
        _ENCODERS[model_name] = encoder
        _ENCODER_FOLDERS[model_name] = folder
        return encoder


# ----------------------------------------------------------------------------------------------
# The corpus cache
# ----------------------------------------------------------------------------------------------

def cache_dir() -> Path:
    """Where the corpus embeddings are kept."""
    explicit = os.environ.get("VORMO_CACHE_DIR")
    if explicit:
        return Path(explicit).expanduser()
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "vormo"


def _cache_file(model_name: str, folder: Path) -> Path:
    digest = hashlib.sha256(f"{model_name}\0{os.path.abspath(folder)}".encode("utf-8", "surrogatepass"))
    return cache_dir() / f"embeddings-{digest.hexdigest()[:24]}.bin"


def _text_digest(text: str) -> str:
    return hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=12).hexdigest()


def _load_table(path: Path, header_key: dict[str, Any]) -> tuple[dict[tuple, int], Any, dict[str, Any]]:
    """Entries (key -> row), the matrix and the header of a cache file (or of the shipped table), or
    nothing when it is absent, broken or made for another model or encoder."""
    np = __import__("numpy")
    try:
        with open(path, "rb") as f:
            data = f.read()
        if data[:8] != CACHE_MAGIC:
            return {}, None, {}
        size = int.from_bytes(data[8:16], "little")
        header = json.loads(data[16 : 16 + size])
        if {k: header.get(k) for k in header_key} != header_key:
            return {}, None, {}
        rows = len(header["entries"])
        matrix = np.frombuffer(data, dtype="<f4", count=rows * header["dimension"], offset=16 + size)
        matrix = matrix.reshape(rows, header["dimension"])
        return {tuple(e): i for i, e in enumerate(header["entries"])}, matrix, header
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return {}, None, {}


def _store_cache(path: Path, header: dict[str, Any], matrix: Any) -> None:
    """Write a cache file (see _write_table); a cache that cannot be written is only noted."""
    try:
        _write_table(path, header, matrix)
    except OSError as exc:
        log.debug("cannot write the embedding cache %s: %s", path, exc)


def _write_table(path: Path, header: dict[str, Any], matrix: Any) -> None:
    """Write through a temporary file in the same folder and rename it into place: readers see
    the old file or the new one, and of two concurrent writers the later rename wins whole."""
    payload = json.dumps(header, ensure_ascii=False).encode("utf-8", "surrogatepass")
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, partial = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".partial", dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(CACHE_MAGIC)
            f.write(len(payload).to_bytes(8, "little"))
            f.write(payload)
            f.write(matrix.astype("<f4").tobytes())
        os.replace(partial, path)
    except BaseException:
        try:
            os.unlink(partial)
        except OSError:
            pass
        raise


def corpus_embeddings(encoder: Encoder, model_name: str, folder: Path,
                      items: Sequence[tuple[str, tuple[int, int], str]]) -> Any:
    """The embedding rows of the given descriptions, (path, (size, mtime_ns), text) each, from the
    cache where it still holds them and computed otherwise; the cache file is rewritten when
    anything differed."""
    np = encoder.np
    header_key = {"format": CACHE_FORMAT, "model": model_name, "encoder": encoder.fingerprint,
                  "max_tokens": encoder.max_tokens, "max_chars": MAX_CHARS, "dimension": encoder.dimension}
    path = _cache_file(model_name, folder)
    known, matrix, _ = _load_table(path, header_key)
    keys = [(p, stamp[0], stamp[1], _text_digest(text)) for p, stamp, text in items]
    out = np.empty((len(items), encoder.dimension), dtype=np.float32)
    missing = []
    for i, key in enumerate(keys):
        row = known.get(key)
        if row is None:
            missing.append(i)
        else:
            out[i] = matrix[row]
    changed = bool(missing) or len(known) != len(keys)
    if missing:
        missing = _from_shipped(encoder, model_name, [keys[i][3] for i in missing], missing, out)
    if missing:
        for listener in list(on_corpus_embedding):
            listener(len(missing))
        out[missing] = encoder.embed([items[i][2] for i in missing])
    if changed:
        _store_cache(path, {**header_key, "entries": [list(k) for k in keys]}, out)
    return out


def _shipped_key(encoder: Encoder, model_name: str) -> dict[str, Any]:
    """What a shipped table must have been made with to serve this encoder (the model files'
    digest aside, which costs a read of the files and is checked last)."""
    return {"format": CACHE_FORMAT, "model": model_name, "max_tokens": encoder.max_tokens, "max_chars": MAX_CHARS,
            "dimension": encoder.dimension}


def _from_shipped(encoder: Encoder, model_name: str, digests: Sequence[str], rows: list[int], out: Any) -> list[int]:
    """Fill the rows of ``out`` whose texts (by digest) the shipped table holds; the rows left."""
    name = SHIPPED_EMBEDDINGS
    if not name:
        return rows
    entries, matrix, header = _load_table(Path(__file__).resolve().parent / name, _shipped_key(encoder, model_name))
    found = [(row, entries[(digest,)]) for row, digest in zip(rows, digests) if (digest,) in entries]
    if not found or header.get("model_digest") != encoder.content_digest():
        return rows
    for row, shipped in found:
        out[row] = matrix[shipped]
    counts["shipped"] += len(found)
    taken = {row for row, _ in found}
    return [row for row in rows if row not in taken]


def ship_embeddings(path: Any, models_dir: Any = None, model_name: str = MODEL_NAME) -> dict[str, Any]:
    """Write the table of embeddings that ships with the package: every description below
    ``models_dir`` (default: the shipped examples) embedded afresh, keyed by its text, for the model
    files in the local model cache. A maintainer runs it after editing the examples or changing the
    encoder (scripts/ship_embeddings.py). Returns {"path", "descriptions", "model_digest"}."""
    base = _examples_folder(models_dir)
    encoder = load_encoder(model_name)
    if encoder is None:
        raise UnsupportedModel(f"{model_name} is not in the local model cache or is not a model this encoder runs")
    texts = {_text_digest(text): text for _, _, text in _corpus(base)}
    digests = sorted(texts)
    matrix = encoder.embed([texts[d] for d in digests]) if digests else \
        encoder.np.zeros((0, encoder.dimension), dtype=encoder.np.float32)
    header = {**_shipped_key(encoder, model_name), "model_digest": encoder.content_digest(),
              "entries": [[d] for d in digests]}
    target = Path(path)
    _write_table(target, header, matrix)
    os.chmod(target, 0o644)  # a file of the package, not a private cache
    return {"path": target, "descriptions": len(digests), "model_digest": header["model_digest"]}


# ----------------------------------------------------------------------------------------------
# Ranking
# ----------------------------------------------------------------------------------------------

def _check_type(value: Any, expected: type, name: str) -> None:
    if type(value) is not expected:
        raise TypeError(f"Argument '{name:.200}' has incorrect type (expected {expected.__name__:.200}, "
                        f"got {type(value).__name__:.200})")


def _stamp(path: Any) -> tuple[int, int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_size, st.st_mtime_ns


def _examples_folder(models_dir: Any) -> Path:
    from . import nearfind

    base = Path(models_dir) if models_dir else Path(nearfind.__file__).resolve().parent / EXAMPLE_DIR
    if not base.exists():
        raise FileNotFoundError(f"Models directory not found: {base}")
    return base


def _corpus(base: Path) -> list[tuple[str, tuple[int, int], str]]:
    """(path, (size, mtime_ns), text) of each non-empty description below ``base``."""
    from . import nearfind

    items = []
    for file in nearfind._iter_description_files(base):
        # The stamp is taken before reading: an edit in between changes the stamp next time.
        stamp = _stamp(file)
        text = nearfind._read_text(file)
        if text:
            items.append((str(file), stamp or (-1, -1), text))
    return items


def precompute(models_dir: Any = None, model_name: str = MODEL_NAME, model_dir: Any = None) -> dict[str, Any]:
    """Put the embeddings of the descriptions below ``models_dir`` (default: the shipped examples)
    in the cache, as the first ranking would; the model from ``model_dir`` when given (the folder
    ``model_name`` resolves to in the local model cache), else from that cache.

    Returns {"cache" (the file), "descriptions", "embedded" (how many had to be computed), "shipped"
    (how many were taken from the shipped table)}; raises
    UnsupportedModel (or ImportError without numpy or tokenizers) when the encoder cannot run."""
    base = _examples_folder(models_dir)
    encoder = Encoder(Path(model_dir)) if model_dir is not None else load_encoder(model_name)
    if encoder is None:
        raise UnsupportedModel(f"{model_name} is not in the local model cache or is not a model this encoder runs")
    items = _corpus(base)
    before, shipped = counts["embedded"], counts["shipped"]
    if items:
        corpus_embeddings(encoder, model_name, base, [(os.path.abspath(p), s, t) for p, s, t in items])
    return {"cache": _cache_file(model_name, base), "descriptions": len(items), "embedded": counts["embedded"] - before,
            "shipped": counts["shipped"] - shipped}


def rank_problem_descriptions(query: str, models_dir: Any = None, top_k: int = 10,
                              model_name: str = MODEL_NAME) -> list[dict[str, Any]]:
    """Rank the descriptions below ``models_dir`` (default: the shipped examples) by similarity to
    ``query``: the records of ``nearfind.rank_problem_descriptions``, computed without torch and
    with the corpus embeddings cached on disk."""
    from . import nearfind

    _check_type(query, str, "query")
    _check_type(top_k, int, "top_k")
    _check_type(model_name, str, "model_name")
    base = _examples_folder(models_dir)
    items = _corpus(base)
    if not items:
        return []

    encoder = load_encoder(model_name)
    if encoder is None:
        return nearfind.rank_problem_descriptions(query, models_dir, top_k, model_name)

    docs = corpus_embeddings(encoder, model_name, base, [(os.path.abspath(p), s, t) for p, s, t in items])
    # Row by row rather than one matrix-vector product: a BLAS product may round rows in different
    # positions differently, and equal descriptions must get equal scores.
    np = encoder.np
    scores = (docs.astype(np.float64) * encoder.embed([query])[0].astype(np.float64)).sum(axis=1).tolist()
    records = [{"path": path, "score": float(score), "preview": text[:PREVIEW_CHARS].replace("\n", " ")}
               for (path, _, text), score in zip(items, scores)]
    # Highest first, equal scores in file order; a score that is not a number goes last.
    order = sorted(range(len(records)), key=lambda i: (0, -scores[i]) if scores[i] == scores[i] else (1, 0.0))
    ranked = [records[i] for i in order]
    return ranked[:top_k] if top_k > 0 else ranked
