import pytest

from zelkor import _reconstruct, migrations


@pytest.fixture
def fresh_registries(monkeypatch):
    """Empty class and migration registries for one test."""
    monkeypatch.setattr(_reconstruct, "_registered", {})
    monkeypatch.setattr(_reconstruct, "_registered_names", {})
    monkeypatch.setattr(_reconstruct, "_generated", {})
    monkeypatch.setattr(_reconstruct, "_generated_fields", 0)
    monkeypatch.setattr(migrations, "_steps", {})
    monkeypatch.setattr(migrations, "_paths", {})
