from typing import Any

__all__ = ["version"]

def version() -> Any: ...
