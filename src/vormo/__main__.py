"""``python -m vormo``: the same command line as the ``vormo`` console script."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
