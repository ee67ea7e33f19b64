from typing import Any

from . import Session

__all__ = ["version"]

def version(sess: Session) -> Any: ...
