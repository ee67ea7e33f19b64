from typing import ClassVar, final

__all__ = ["Flag"]

@final
class Flag:
    MaxAiClk: ClassVar[Flag]
    MriscPhyWakeup: ClassVar[Flag]
    VexelEnable: ClassVar[Flag]
    L2CpuEnable: ClassVar[Flag]
    HI: ClassVar[Flag]
    LO: ClassVar[Flag]
    def __int__(self) -> int: ...
    def __or__(self, other: Flag) -> Flag: ...
    def __ror__(self, other: Flag) -> Flag: ...
