"""A scripted stand-in for the LLM layer of vormo.modelsmith, and helpers to drive the workflow
without any LLM: each reply is handed out in order and every request is recorded."""

import json
import types

PROVIDER = types.SimpleNamespace(value="openai")


class Stop(BaseException):
    """Raised by replaced operations to show they were reached; not an ordinary error, so no
    guard of the workflow swallows it."""


def reply(obj, prompt_tokens=10, completion_tokens=2):
    """A (text, usage) pair whose text is `obj` as JSON (or `obj` itself when it is text)."""
    content = obj if isinstance(obj, str) or obj is None else json.dumps(obj)
    return content, {"prompt_tokens": prompt_tokens, "completion_tokens": completion_tokens}


def pair(model, data, **usage):
    return reply({"model": model, "data": data}, **usage)


def verdict(aligned, assessment, **usage):
    return reply({"aligned": aligned, "assessment": assessment}, **usage)


class ScriptedLLM:
    """Replaces `_llm_generate_text`: only named arguments, replies in script order. A reply that
    is an exception is raised instead."""

    def __init__(self, *replies):
        self.replies = list(replies)
        self.calls = []

    def __call__(self, **kwargs):
        self.calls.append(kwargs)
        if not self.replies:
            raise AssertionError("the script has no reply left")
        answer = self.replies.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    @property
    def temperatures(self):
        return [c["temperature"] for c in self.calls]


class RecordingCompiler:
    """A compiler whose outcomes are scripted per instance; counts the instances made."""

    def __init__(self, outcomes):
        self.outcomes = list(outcomes)
        self.instances = 0
        self.seen = []

    def __call__(self):
        self.instances += 1
        owner = self

        class Instance:
            def compile_model(self, model_code, data_code):
                owner.seen.append((model_code, data_code))
                outcome = owner.outcomes.pop(0) if owner.outcomes else None
                if isinstance(outcome, BaseException):
                    raise outcome
                return outcome

        return Instance()
