"""The one line the command line shows when an LLM service refuses a request or cannot be reached.

Each line names its fix: a refused key names the environment variable the key is read from, an
unknown model names ``--model-name`` and ``vormo models``, and a service that cannot be reached
names the address that was tried. The errors arrive in three shapes: the vendor library's own
exception (``google.api_core``, ``ollama``, ``requests``), a builtin ``ConnectionError`` from the
Ollama library, or the package's ``RuntimeError`` whose text carries the vendor's words
("OpenAI request failed after 3 attempts: Error code: 401 - ...", "Failed to list Gemini models:
..."). The vendor classes are never imported here: module and class names are enough.

Only the standard library is imported at load.
"""

from __future__ import annotations

import os
import re
import sys
from urllib.parse import urlsplit

__all__ = ["explain", "KEY_VARIABLES", "openai_address", "ollama_address", "GEMINI_ADDRESS"]

KEY_VARIABLES = {"openai": "OPENAI_API_KEY", "google": "GEMINI_API_KEY", "ollama": "OLLAMA_API_KEY"}
_NAMES = {"openai": "OpenAI", "google": "Gemini", "ollama": "Ollama"}
SERVICES = {"openai": "the OpenAI service", "google": "the Gemini service", "ollama": "the Ollama server"}
OPENAI_ADDRESS = "https://api.openai.com/v1"
GEMINI_ADDRESS = "https://generativelanguage.googleapis.com"
OLLAMA_ADDRESS = "http://127.0.0.1:11434"
DETAIL_CHARS = 120

_OPENAI_STATUS = re.compile(r"Error code: (\d{3})\b")
_LEADING_STATUS = re.compile(r"^(\d{3}) ")
_OLLAMA_STATUS = re.compile(r"\(status code: (\d{3})\)")
_POOL_ADDRESS = re.compile(r"host='([^']+)', port=(\d+)")
_NOT_PULLED = re.compile(r"""model ['"]?([^'"\s,]+)['"]? not found""")
_KEY_REFUSED = re.compile(r"api[ _-]?key|unauthenticated|invalid authentication|unauthori[sz]ed", re.IGNORECASE)


def openai_address() -> str:
    """The address the OpenAI library sends to: OPENAI_BASE_URL, else the public service."""
    return os.environ.get("OPENAI_BASE_URL") or OPENAI_ADDRESS


def ollama_address() -> str:
    """The address of the Ollama library's own client (it reads OLLAMA_HOST when first imported)."""
    library = sys.modules.get("ollama")
    try:
        address = str(library.generate.__self__._client.base_url)  # type: ignore[union-attr]
    except AttributeError:
        address = os.environ.get("OLLAMA_HOST") or OLLAMA_ADDRESS
    return address.rstrip("/")


def _origin(url: str) -> str | None:
    parts = urlsplit(url)
    return f"{parts.scheme}://{parts.netloc}" if parts.scheme and parts.netloc else None


def _requests_address(err: BaseException, text: str) -> str | None:
    """The address a ``requests`` connection error was trying, from its request or its text."""
    request = getattr(err, "request", None)
    url = getattr(request, "url", None)
    if isinstance(url, str) and _origin(url):
        return _origin(url)
    return _pool_address(text)


def _pool_address(text: str) -> str | None:
    pool = _POOL_ADDRESS.search(text)
    if pool is None:
        return None
    scheme = "https" if "HTTPSConnectionPool" in text else "http"
    return f"{scheme}://{pool.group(1)}:{pool.group(2)}"


_REQUEST_LINE = re.compile(r"^(\d{3}) [A-Z]+ \S+?: ")


def _detail(text: str) -> str:
    """The vendor's words, short: without the request line the Gemini library puts first."""
    text = _REQUEST_LINE.sub(r"\1 ", " ".join(text.split()))
    return text if len(text) <= DETAIL_CHARS else text[:DETAIL_CHARS - 3] + "..."


def _classify(err: BaseException, first: str) -> tuple[str, str, int | None, bool, str] | None:
    """(provider, what, status, listing, text) of a vendor error, or None for another error;
    ``what`` is "status" (an HTTP answer) or "connection" (nothing answered)."""
    module = type(err).__module__ or ""
    name = type(err).__name__
    for provider, heads in (("openai", ("OpenAI request failed", "Failed to list OpenAI models: ")),
                            ("google", ("Gemini request failed: ", "Failed to list Gemini models: ")),
                            ("ollama", ("Ollama request failed: ", "Failed to list Ollama models: "))):
        head = next((h for h in heads if first.startswith(h)), None)
        if head is None:
            continue
        listing = head.startswith("Failed to list")
        rest = first[len(head):] if not head.startswith("OpenAI request failed") else first.partition(": ")[2]
        return _from_text(provider, rest, listing)
    if module.startswith("openai") and hasattr(err, "status_code"):
        return "openai", "status", int(getattr(err, "status_code")), False, first
    if module.startswith("openai") and name in ("APIConnectionError", "APITimeoutError"):
        return "openai", "connection", None, False, first
    if module.startswith("google.api_core"):
        code = getattr(err, "code", None)
        if name in ("ServiceUnavailable", "RetryError", "DeadlineExceeded"):
            return "google", "connection", None, False, first
        status = code if isinstance(code, int) else None
        return "google", "status", status, False, first
    if module.startswith("ollama") and name == "ResponseError":
        status = getattr(err, "status_code", None)
        return "ollama", "status", status if isinstance(status, int) else None, False, first
    if isinstance(err, ConnectionError) and first.startswith("Failed to connect to Ollama"):
        return "ollama", "connection", None, False, first
    return None


def _from_text(provider: str, rest: str, listing: bool) -> tuple[str, str, int | None, bool, str]:
    if rest.startswith(("Connection error", "Request timed out", "Failed to connect to Ollama",
                        "HTTPConnectionPool", "HTTPSConnectionPool")):
        return provider, "connection", None, listing, rest
    found = _OPENAI_STATUS.search(rest) or _LEADING_STATUS.search(rest) or _OLLAMA_STATUS.search(rest)
    return provider, "status", int(found.group(1)) if found else None, listing, rest


def _refused_key(provider: str, status: int | None, detail: str) -> bool:
    if status in (401, 403) and (provider != "openai" or status == 401 or _KEY_REFUSED.search(detail)):
        return True
    # The Gemini service answers a wrong key with 400 INVALID_ARGUMENT, "API key not valid".
    return provider == "google" and status == 400 and bool(_KEY_REFUSED.search(detail))


def explain(err: BaseException, first: str) -> str | None:
    """The line for an LLM service's refusal or silence, or None when the error is not one."""
    if (type(err).__module__ or "").startswith("requests") and isinstance(err, OSError):
        address = _requests_address(err, first)
        if address is None:
            return None
        if "generativelanguage" in address or "/v1beta/" in first:
            return f"cannot reach the Gemini service at {address}: check the network"
        return f"cannot reach {address}: check the network"
    found = _classify(err, first)
    if found is None:
        return None
    provider, what, status, listing, raw = found
    detail = _detail(raw)
    service = SERVICES[provider]
    if what == "connection":
        return _unreachable(provider, raw)
    if status is not None and _refused_key(provider, status, detail):
        variable = KEY_VARIABLES[provider]
        return (f"{service} did not accept the API key ({detail}): set {variable} to a valid key "
                f"(export {variable}=<your key>)")
    if status == 404 and provider == "ollama":
        pulled = _NOT_PULLED.search(detail)
        if pulled:
            model = pulled.group(1)
            return (f"the Ollama model {model} is not available locally: run 'ollama pull {model}', or choose "
                    "another --model-name ('vormo models --provider ollama' lists the models pulled)")
    if status == 404 and not listing and (provider != "openai" or "model" in detail.lower()):
        return (f"{service} has no such model ({detail}): check --model-name; 'vormo models --provider "
                f"{provider}' lists the models you can use")
    if status == 404:
        return f"{service} at {_address(provider, raw)} answered 404 ({detail}): check the address"
    head = f"{_NAMES[provider]} request failed"
    if listing:
        head = f"Failed to list {_NAMES[provider]} models"
    return f"{head}: {detail}: check the network, the API key and the model name"


def _address(provider: str, detail: str) -> str:
    if provider == "openai":
        return openai_address()
    if provider == "ollama":
        return ollama_address()
    found = re.search(r"\b(?:GET|POST) (https?://[^/\s]+)", detail)
    return found.group(1) if found else GEMINI_ADDRESS


def _unreachable(provider: str, detail: str) -> str:
    if provider == "openai":
        return (f"cannot reach the OpenAI service at {openai_address()}: check the network"
                + (", or OPENAI_BASE_URL" if os.environ.get("OPENAI_BASE_URL") else ""))
    if provider == "ollama":
        return (f"cannot reach the Ollama server at {ollama_address()}: start it with 'ollama serve' or set "
                "OLLAMA_HOST to its address")
    address = _pool_address(detail) or GEMINI_ADDRESS
    return f"cannot reach the Gemini service at {address}: check the network"
