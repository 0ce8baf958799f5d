"""Stand-ins and checks shared by the test modules (blobs: blob_builder)."""

import sys
import types

import pytest

# the class attributes a dataclass declares its schema version with
V = ("__zelkor_version__", "__tandrel_version__")


def error(exc_type, func, *args, **kwargs):
    """The message of the exception, exactly of ``exc_type``, that
    ``func(*args, **kwargs)`` must raise."""
    with pytest.raises(exc_type) as info:
        func(*args, **kwargs)
    assert type(info.value) is exc_type, type(info.value)
    return str(info.value)


class BytesSub(bytes):
    pass


class Reader:
    """A file whose read() answers ``data`` and records how it was called."""

    def __init__(self, data):
        self.data = data
        self.calls = []

    def read(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.data


class Writer:
    """A file whose write() answers ``result`` and records how it was called."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def write(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


class Recorder:
    """A stand-in function: records each call's arguments, answers ``answer(*args)``."""

    def __init__(self, answer):
        self.answer = answer
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)
        return self.answer(*args)


class Kwargs:
    """Records how it is called; takes any keyword argument as an attribute."""

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs
        for key, value in kwargs.items():
            setattr(self, key, value)


def install(monkeypatch, name, **attrs):
    """Puts a module ``name`` holding ``attrs`` into sys.modules for one test."""
    module = types.ModuleType(name)
    module.__dict__.update(attrs)
    monkeypatch.setitem(sys.modules, name, module)
    return module


def _address_sanitised():
    """Whether this process runs with an address sanitiser's runtime, which
    reserves far more address space than any memory limit lets through."""
    try:
        with open("/proc/self/maps") as maps:
            return "asan" in maps.read()
    except OSError:
        return False


ADDRESS_SANITISED = _address_sanitised()
needs_address_limit = pytest.mark.skipif(
    ADDRESS_SANITISED, reason="an address-sanitised run cannot cap its address space"
)
