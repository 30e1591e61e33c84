"""tenhou_to_mjai: argument handling, the exception mapping, the result."""

from __future__ import annotations

import json

import pytest

import _kifuzan
from _kifuzan import tenhou_file_to_mjai, tenhou_to_mjai
from conftest import STAGE_IDS, STAGE_TEXTS, TINY_LINES, dump, tiny_log


@pytest.mark.parametrize(
    "func, args, kwargs, message",
    [
        (tenhou_to_mjai, (), {}, "tenhou_to_mjai() missing 1 required positional argument: 'data'"),
        (tenhou_to_mjai, ("a", "b"), {}, "tenhou_to_mjai() takes 1 positional arguments but 2 were given"),
        (tenhou_to_mjai, (), {"text": "x"}, "tenhou_to_mjai() got an unexpected keyword argument 'text'"),
        (tenhou_to_mjai, ("x",), {"data": "x"}, "tenhou_to_mjai() got multiple values for argument 'data'"),
        (tenhou_to_mjai, (), {"data": "x", "extra": 1}, "tenhou_to_mjai() got an unexpected keyword argument 'extra'"),
        (tenhou_file_to_mjai, (), {}, "tenhou_file_to_mjai() missing 1 required positional argument: 'filename'"),
        (
            tenhou_file_to_mjai,
            (),
            {"mjai_out": "x"},
            "tenhou_file_to_mjai() missing 1 required positional argument: 'filename'",
        ),
        (
            tenhou_file_to_mjai,
            ("a", "b", "c"),
            {},
            "tenhou_file_to_mjai() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (tenhou_file_to_mjai, ("a",), {"out": "x"}, "tenhou_file_to_mjai() got an unexpected keyword argument 'out'"),
        (
            tenhou_file_to_mjai,
            ("a",),
            {"filename": "b"},
            "tenhou_file_to_mjai() got multiple values for argument 'filename'",
        ),
        (
            tenhou_file_to_mjai,
            ("a", "b"),
            {"mjai_out": "c"},
            "tenhou_file_to_mjai() got multiple values for argument 'mjai_out'",
        ),
    ],
)
def test_binding_errors(func, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_data_by_keyword(tiny_text):
    assert tenhou_to_mjai(data=tiny_text) == tenhou_to_mjai(tiny_text) == TINY_LINES


class Outer:
    class Inner:
        pass


class StrLike:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


@pytest.mark.parametrize(
    "value, type_name",
    [
        (b"{}", "bytes"),
        (bytearray(b"{}"), "bytearray"),
        (None, "NoneType"),
        (1, "int"),
        (["{}"], "list"),
        (Outer.Inner(), "Outer.Inner"),
        (StrLike("{}"), "StrLike"),
    ],
)
def test_data_must_be_str(value, type_name):
    with pytest.raises(TypeError) as info:
        tenhou_to_mjai(value)
    assert str(info.value) == f"argument 'data': '{type_name}' object cannot be converted to 'PyString'"


def test_str_subclass_is_read_from_its_characters(tiny_text):
    class Text(str):
        def __str__(self):
            return "not json"

    assert tenhou_to_mjai(Text(tiny_text)) == TINY_LINES


def test_unpaired_surrogate_raises_before_parsing():
    log = tiny_log()
    log["name"][0] = "\ud800"
    with pytest.raises(UnicodeEncodeError):
        tenhou_to_mjai(dump(log))
    with pytest.raises(UnicodeEncodeError):
        tenhou_to_mjai("not json \udc80")


def check_stage_error(error, exc_type, message):
    assert type(error) is exc_type
    assert isinstance(error, ValueError)
    assert error.args == (message,)
    assert str(error) == message
    assert error.__cause__ is None
    assert error.__context__ is None
    assert not error.__suppress_context__


@pytest.mark.parametrize("text, exc_name, message", STAGE_TEXTS, ids=STAGE_IDS)
def test_stage_failures(text, exc_name, message):
    exc_type = getattr(_kifuzan, exc_name)
    with pytest.raises(exc_type) as info:
        tenhou_to_mjai(text)
    check_stage_error(info.value, exc_type, message)


def test_serialization_error_type_is_exported():
    # No event the converter can build fails to serialize; the type is
    # still part of the interface.
    assert issubclass(_kifuzan.JsonSerializationError, ValueError)


def test_tiny_game():
    lines = tenhou_to_mjai(dump(tiny_log()))
    assert lines == TINY_LINES
    assert all(type(line) is str for line in lines)
    for line in lines:
        assert isinstance(json.loads(line), dict)


def test_empty_game():
    log = tiny_log()
    log["log"] = []
    assert tenhou_to_mjai(dump(log)) == [
        '{"type":"start_game","names":["Alice","ボブ","C\\"q","D"],"kyoku_first":0,"aka_flag":true}',
        '{"type":"end_game"}',
    ]

