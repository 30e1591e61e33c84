"""Converts tenhou.net/6 mahjong game records into mjai events.

The work is done by the ``_kifuzan`` extension module; this package re-exports
its public names, converts whole archives (``convert_many``; ``kifuzan.dask``
on a Dask cluster) and holds the command line (``kifuzan``, or
``python -m kifuzan``; ``kifuzan.__main__.main``).
"""

# Private names only: every public name of the package is in __all__.
import importlib as _importlib
from typing import TYPE_CHECKING as _TYPE_CHECKING

from kifuzan._native import MjlogError, mjlog_to_mjai, mjlog_to_tenhou6
from _kifuzan import (
    VERSION,
    JsonParsingError,
    JsonSerializationError,
    TenhouLogParsingError,
    TenhouToMjaiError,
    __version__,
    tenhou_file_to_mjai,
    tenhou_to_mjai,
)

__all__ = [
    "TenhouLogParsingError",
    "TenhouToMjaiError",
    "JsonSerializationError",
    "JsonParsingError",
    "tenhou_file_to_mjai",
    "tenhou_to_mjai",
    "__version__",
    "VERSION",
    "convert_many",
    "Summary",
    "Failure",
    "MjaiError",
    "mjai_to_tenhou6",
    "Tenhou6Options",
    "is_mjai_record",
    "diagnose",
    "Diagnosis",
    "MjlogError",
    "mjlog_to_mjai",
    "mjlog_to_tenhou6",
    "to_mjai",
    "to_tenhou6",
]

if _TYPE_CHECKING:  # the lazy names below, with their types, for type checkers
    from kifuzan.api import to_mjai as to_mjai, to_tenhou6 as to_tenhou6
    from kifuzan.batch import convert_many as convert_many
    from kifuzan.diagnosis import Diagnosis as Diagnosis, diagnose as diagnose
    from kifuzan.results import Failure as Failure, Summary as Summary
    from kifuzan.reverse import (
        MjaiError as MjaiError,
        Tenhou6Options as Tenhou6Options,
        is_mjai_record as is_mjai_record,
        mjai_to_tenhou6 as mjai_to_tenhou6,
    )

# The archive tools load on first use, so `import kifuzan` and the command's
# start stay quick; until the command has loaded, Ctrl-C is Python's own.
_LAZY = {"convert_many": "kifuzan.batch", "Summary": "kifuzan.results", "Failure": "kifuzan.results"}
_LAZY |= dict.fromkeys(("diagnose", "Diagnosis"), "kifuzan.diagnosis")
_LAZY |= dict.fromkeys(("to_mjai", "to_tenhou6"), "kifuzan.api")
_LAZY |= dict.fromkeys(("MjaiError", "mjai_to_tenhou6", "Tenhou6Options", "is_mjai_record"), "kifuzan.reverse")


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'kifuzan' has no attribute {name!r}")
    value = getattr(_importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    # The public names, the module's own dunders, and the submodules loaded so far.
    return sorted(set(__all__) | {n for n, v in globals().items() if not n.startswith("_") or n.startswith("__")})
