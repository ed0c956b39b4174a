"""The start of ``vormo solve``: the slow preparations of the first LLM request run beside other
work instead of after it.

Between parsing the arguments and sending the first request, a run used to do, one after the
other: read the pricing table (a network fetch by default), rank the worked examples, build the
prompt, import the provider's client library (``import openai`` alone is about half a second) and
make the client. Here:

* the pricing table is read by a background thread from the start, and the command line's choice
  of table (the published one or, when it cannot be read, the shipped one) is made when a price
  is first needed (the budget check before a request, or the estimate at the end of a generation)
  rather than before the first request;
* when the worked examples' embeddings have to be computed (an empty or stale cache), a second
  thread imports the provider's library meanwhile and makes (and closes) one throw-away client,
  which loads what the library loads lazily. The products of the embedding leave the interpreter
  free; importing is interpreter work, so beside a ranking from the cache (itself interpreter
  work) a background import would only slow both, and the run imports as before. Either way the
  run's own client is made by the package's usual code in the main thread: a background import
  only warms the module cache, and when it fails nothing is kept, so the main thread's own import
  fails the same way with the same error and message.

The threads never outlive the run: leaving it waits for an import under way and for a pricing
fetch still on its way (which a run ended early used to wait for before its first request anyway),
so the interpreter is never shut down under an import half done or a fetch in compiled code. Ctrl-C
reaches the main thread as before.
"""

from __future__ import annotations

import argparse
import logging
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

__all__ = ["Prefetch", "solve_start", "table_for_prices", "active"]

log = logging.getLogger(__name__)

# The library each provider's requests import.
PROVIDER_MODULES = {"openai": ("openai",), "google": ("google.generativeai",), "ollama": ("ollama",)}
# What the pricing fetch imports, loaded first.
FETCH_MODULES = ("urllib.request",)
# Embedding at least this many descriptions takes longer than the provider's import.
OVERLAP_MIN_TEXTS = 8

_current: list[Prefetch] = []


class _OwnRecords(logging.Filter):
    """Drops the records one thread logs (the pricing reader's warning about a table it cannot
    read is said once, in the command's own words, when the table is chosen)."""

    def __init__(self, thread: threading.Thread) -> None:
        super().__init__()
        self.thread = thread

    def filter(self, record: logging.LogRecord) -> bool:
        return record.thread != self.thread.ident


class Prefetch:
    """The background work of one run: the pricing table ``pricing`` read into the reader's memo
    (from ``start``), and the library of ``provider`` imported with a client warmed (from
    ``start_imports``, once). Neither thread is a daemon: the interpreter never shuts down under a
    fetch that runs in compiled code."""

    def __init__(self, provider: str | None, pricing: str | None) -> None:
        self.provider = provider
        self.pricing = pricing
        self.priced = threading.Event()
        self.pricing_thread = threading.Thread(target=self._fetch_prices, name="vormo-prefetch-prices", daemon=False)
        self.import_thread: threading.Thread | None = None
        self._filter: _OwnRecords | None = None

    def start(self) -> Prefetch:
        if self.pricing is None:
            self.priced.set()
            return self
        from . import tokenledger

        self._filter = _OwnRecords(self.pricing_thread)
        tokenledger.logger.addFilter(self._filter)
        self.pricing_thread.start()
        return self

    def start_imports(self) -> None:
        """Import the provider's library in the background (once per run)."""
        modules = PROVIDER_MODULES.get(self.provider or "", ())
        if self.import_thread is not None or not modules:
            return
        self.import_thread = threading.Thread(target=self._import, args=(modules,), name="vormo-prefetch-imports",
                                              daemon=False)
        self.import_thread.start()

    def _import(self, modules: tuple[str, ...]) -> None:
        import importlib

        for name in modules:
            try:
                importlib.import_module(name)
            except BaseException as exc:  # noqa: BLE001 - the main thread's own import reports it
                log.debug("background import of %s failed (%s); the run imports it itself", name, exc)
                return
        if self.provider == "openai":
            _warm_openai_client()

    def _fetch_prices(self) -> None:
        try:
            import importlib

            for name in FETCH_MODULES:
                importlib.import_module(name)
            from . import tokenledger

            tokenledger._parse_pricing(self.pricing)
        except BaseException as exc:  # noqa: BLE001 - the table is read again when it is chosen
            log.debug("background read of the pricing table failed: %s", exc)
        finally:
            self.priced.set()

    def wait_prices(self) -> None:
        self.priced.wait()

    def close(self) -> None:
        """Wait for both threads and stop filtering the pricing thread's records."""
        for thread in (self.import_thread, self.pricing_thread):
            if thread is not None and thread.ident is not None:
                thread.join()
        if self._filter is not None:
            from . import tokenledger

            tokenledger.logger.removeFilter(self._filter)
            self._filter = None


def _warm_openai_client() -> None:
    """Make and close one client: its first construction loads the HTTP transport and the
    certificate store, which the run's own client then finds loaded."""
    try:
        import openai

        if not getattr(openai, "__file__", None):
            return  # a stand-in module, not the library
        client = openai.OpenAI(api_key="unused-by-a-warm-up-client")
        client.close()
    except Exception as exc:  # noqa: BLE001 - the run's own client reports whatever is wrong
        log.debug("warming the OpenAI client failed: %s", exc)


def _provider(args: argparse.Namespace) -> str | None:
    from . import modelsmith

    try:
        return str(modelsmith._infer_provider(args.provider, args.model_name or modelsmith.MODEL_NAME).value)
    except Exception:  # noqa: BLE001 - an unusable provider is reported by the run itself
        return None


def active() -> Prefetch | None:
    """The prefetch of the run in progress, if any."""
    return _current[-1] if _current else None


@contextmanager
def solve_start(args: argparse.Namespace) -> Iterator[Prefetch | None]:
    """Start the background preparations of a ``solve`` run whose arguments are checked; a dry
    run sends nothing and prepares nothing."""
    if getattr(args, "dry_run", False):
        yield None
        return
    from . import quickrank, tokenledger

    pricing = None if getattr(args, "pricing", None) else tokenledger.PRICING_URL
    prefetch = Prefetch(_provider(args), pricing).start()

    def embedding(count: int) -> None:
        if count >= OVERLAP_MIN_TEXTS:
            prefetch.start_imports()

    _current.append(prefetch)
    quickrank.on_corpus_embedding.append(embedding)
    try:
        yield prefetch
    finally:
        if embedding in quickrank.on_corpus_embedding:
            quickrank.on_corpus_embedding.remove(embedding)
        _current.remove(prefetch)
        prefetch.close()


def table_for_prices(args: argparse.Namespace, choose: Callable[[argparse.Namespace], None]) -> Any:
    """Choose the pricing table with ``choose(args)`` now, or, in a run with a prefetch, when a
    price is first needed. Returns a context manager for the generation."""
    prefetch = active()
    if prefetch is None or prefetch.pricing is None:
        choose(args)
        return _nothing()
    return _deferred_table(prefetch, lambda: choose(args))


@contextmanager
def _nothing() -> Iterator[None]:
    yield


@contextmanager
def _deferred_table(prefetch: Prefetch, choose: Callable[[], None]) -> Iterator[None]:
    """For one generation: the table is chosen before the first price, whether that price is
    asked by the command line (``costs.price``) or by the generation's own estimate."""
    from . import costs, modelsmith
    from .cliguard import replaced

    def settle() -> None:
        prefetch.wait_prices()
        choose()

    costs.defer_table(settle)
    original = modelsmith._estimate_costs

    def estimate(*a: Any, **k: Any) -> Any:
        costs.settle_table()
        return original(*a, **k)

    try:
        with replaced(modelsmith, "_estimate_costs", estimate):
            yield
    finally:
        costs.drop_deferred_table(settle)
