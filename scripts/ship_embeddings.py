"""Remake the table of the shipped examples' embeddings (src/vormo/corpus_embeddings.bin).

Run after editing the examples in src/vormo/vormo_models or changing the encoder, with the package
installed and the model set up (vormo-setup-models):

    python scripts/ship_embeddings.py

The tests check that the table holds every shipped description for the model the set-up installs.
"""

import pathlib
import sys

from vormo import quickrank

TARGET = pathlib.Path(__file__).resolve().parent.parent / "src" / "vormo" / quickrank.SHIPPED_EMBEDDINGS
SOURCE = pathlib.Path(__file__).resolve().parent.parent / "src" / "vormo" / quickrank.EXAMPLE_DIR

if __name__ == "__main__":
    done = quickrank.ship_embeddings(TARGET, SOURCE)
    print(f"{done['descriptions']} descriptions -> {done['path']} (model files {done['model_digest'][:16]})")
    sys.exit(0)
