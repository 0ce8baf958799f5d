"""Every public function of zelkor, used as a typed program would use it.

CI checks this file with ``mypy --strict`` against the installed package and
runs it: ``python examples/typed_api.py``.
"""

from __future__ import annotations

import dataclasses
import io
from typing import Any

import zelkor
import zelkor.kombu


@zelkor.register
@dataclasses.dataclass
class Point:
    x: int
    y: int
    label: str = ""
    __zelkor_version__ = 2


@zelkor.register(name="Line")  # the name blobs store: the bare class name
@dataclasses.dataclass
class Line:
    start: Point
    end: Point


@zelkor.migration("Point", 1, 2)
def add_label(fields: dict[str, Any]) -> dict[str, Any]:
    return {**fields, "label": "migrated"}


def save(points: list[Point]) -> bytes:
    return zelkor.dumps(points, protocol=5, schema_version=None, hmac_key=None)


def restore(blob: bytes) -> list[Point]:
    points: list[Point] = zelkor.loads(blob, allowlist={"Point"})
    return points


def round_trip_file(line: Line) -> Line:
    buffer = io.BytesIO()
    zelkor.dump(line, buffer)
    buffer.seek(0)
    loaded: Line = zelkor.load(buffer, allowlist={"Point", "Line"})
    return loaded


def main() -> None:
    # Decorated classes and functions keep their own types.
    p: Point = Point(1, 2)
    assert add_label({"x": 1}) == {"x": 1, "label": "migrated"}
    assert restore(save([p, p])) == [p, p]
    line = round_trip_file(Line(p, Point(3, 4)))
    assert line.end.y == 4 and type(line) is Line

    cls = zelkor.make_class("Unregistered", ["a", "b"])
    instance = cls(a=1, b=2)
    assert zelkor.loads(zelkor.dumps(instance)) == instance

    migrated: dict[str, Any] = zelkor.apply_migrations("Point", {"x": 1, "y": 2}, 1, 2)
    assert migrated["label"] == "migrated"
    try:
        zelkor.apply_migrations("Point", {}, 5, 2)
    except zelkor.MigrationError as exc:
        message: str = str(exc)
        assert "Point" in message

    version: str = zelkor.__version__
    assert version == "1.1.0"

    # The kombu serializer's functions, usable without kombu installed.
    body: bytes = zelkor.kombu.encode({"point": p})
    assert zelkor.kombu.decode(body) == {"point": p}
    assert zelkor.kombu.make_decoder({"Point"})(body) == {"point": p}
    print("typed API example: ok")


if __name__ == "__main__":
    main()
