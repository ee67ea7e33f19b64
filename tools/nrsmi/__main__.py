"""Entry point of ``python3 -m nrsmi`` and of the ``nrsmi`` console script."""
import sys

from nrsmi.cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
