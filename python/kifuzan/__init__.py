"""Converts tenhou.net/6 mahjong game records into mjai events.

The work is done by the ``_kifuzan`` extension module; this package re-exports
its public names, converts whole archives (``convert_many``; ``kifuzan.dask``
on a Dask cluster) and holds the command line (``kifuzan``, or
``python -m kifuzan``; ``kifuzan.__main__.main``).
"""

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
from kifuzan.batch import convert_many
from kifuzan.results import Failure, Summary

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
]
