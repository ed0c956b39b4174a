"""The start of ``vormo solve``: the slow preparations of the first LLM request run beside the
retrieval of the worked examples instead of after it.

Between parsing the arguments and sending the first request, a run used to do, one after the
other: read the pricing table (a network fetch by default), rank the worked examples, build the
prompt, import the provider's client library (``import openai`` alone is a good part of a second)
and make the client. Here:

* a background thread imports the provider's library as soon as the arguments are checked and
  makes (and closes) one throw-away client, which loads what the library loads lazily; the run's
  own client is then made by the package's usual code, in the main thread, as before. The
  background import only warms the module cache: when it fails, nothing is recorded, and the main
  thread's own import fails the same way with the same error and message;
* the pricing table is fetched by the same thread once the imports are done, and the command line's
  choice of table (the published one or, when it cannot be read, the shipped one) is made when a
  price is first needed (the budget check before a request, or the estimate at the end of a
  generation) rather than before the first request.

The thread never outlives the run: leaving it waits for the imports and for a pricing fetch still
on its way (which a run ended early used to wait for before its first request anyway), so that the
interpreter is never shut down under an import half done or a fetch in compiled code. Ctrl-C reaches
the main thread as before.
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

# The library each provider's requests import, and what else its first request needs.
PROVIDER_MODULES = {"openai": ("openai",), "google": ("google.generativeai",), "ollama": ("ollama",)}
# What the pricing fetch imports, loaded with the rest so that the fetch itself imports nothing
# that the main thread might be importing at the same moment.
FETCH_MODULES = ("urllib.request",)

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
    """One background thread: imports ``modules``, warms a client of ``provider`` and then, if
    ``pricing`` is given, reads that pricing table into the reader's memo."""

    def __init__(self, provider: str | None, modules: tuple[str, ...], pricing: str | None) -> None:
        self.provider = provider
        self.modules = modules
        self.pricing = pricing
        self.priced = threading.Event()
        # Not a daemon: the interpreter never shuts down under a fetch that runs in compiled code.
        self.thread = threading.Thread(target=self._work, name="vormo-prefetch", daemon=False)
        self._filter: _OwnRecords | None = None

    def start(self) -> Prefetch:
        if self.pricing is not None:
            from . import tokenledger

            self._filter = _OwnRecords(self.thread)
            tokenledger.logger.addFilter(self._filter)
        self.thread.start()
        return self

    def _work(self) -> None:
        try:
            self._import()
            if self.pricing is not None:
                self._fetch_prices()
        finally:
            self.priced.set()

    def _import(self) -> None:
        import importlib

        for name in self.modules:
            try:
                importlib.import_module(name)
            except BaseException as exc:  # noqa: BLE001 - the main thread's own import reports it
                log.debug("background import of %s failed (%s); the run imports it itself", name, exc)
                return
        if self.provider == "openai":
            _warm_openai_client()

    def _fetch_prices(self) -> None:
        try:
            from . import tokenledger

            tokenledger._parse_pricing(self.pricing)
        except BaseException as exc:  # noqa: BLE001 - the table is read again when it is chosen
            log.debug("background read of the pricing table failed: %s", exc)

    def wait_prices(self) -> None:
        self.priced.wait()

    def close(self) -> None:
        """Wait for the thread (a pricing fetch still on its way is waited for, as the start of a
        run used to wait for it) and stop filtering its records."""
        self.thread.join()
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
    from . import tokenledger

    provider = _provider(args)
    modules = PROVIDER_MODULES.get(provider or "", ()) + FETCH_MODULES
    pricing = None if getattr(args, "pricing", None) else tokenledger.PRICING_URL
    prefetch = Prefetch(provider, modules, pricing).start()
    _current.append(prefetch)
    try:
        yield prefetch
    finally:
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

    def settle() -> None:
        prefetch.wait_prices()
        choose()

    costs.defer_table(settle)
    original = modelsmith._estimate_costs

    def estimate(*a: Any, **k: Any) -> Any:
        costs.settle_table()
        return original(*a, **k)

    modelsmith._estimate_costs = estimate
    try:
        yield
    finally:
        if modelsmith._estimate_costs is estimate:
            modelsmith._estimate_costs = original
        costs.drop_deferred_table(settle)
