"""Generative tooling for the Vormo optimisation-modelling language.

The modules are loaded on first use: ``vormo.modelsmith`` (generation workflow and LLM access),
``vormo.tokenledger`` (token counting and cost estimates), ``vormo.nearfind`` (worked-example
retrieval), ``vormo.emitcore``, ``vormo.faultnote``, ``vormo.tuplefold`` and ``vormo.emitselect``
(support for solver-script generators).
"""

__version__ = "0.1.0"
