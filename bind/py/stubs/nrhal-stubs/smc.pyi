from collections.abc import Sequence
from types import TracebackType
from typing import Literal, final

__all__ = ["Message", "Queued"]

@final
class Message:
    def __init__(self, message: Sequence[int] | None = None) -> None: ...
    @property
    def message(self) -> list[int]: ...
    @message.setter
    def message(self, value: Sequence[int] | None) -> None: ...

@final
class Queued:
    def poll(self) -> Message | None: ...
    def drop(self) -> None: ...
    def __enter__(self) -> Queued: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_val: BaseException | None,
        _exc_tb: TracebackType | None,
    ) -> Literal[False]: ...
