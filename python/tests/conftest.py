"""Shared helpers for the Python package tests."""
import pytest


def assert_type_error_names(parameter, call, *args, **kwargs):
    """`call` raises TypeError whose message names `parameter`."""
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert parameter in str(info.value), str(info.value)
