"""``python -m zelkor demo``: a sample graph saved, loaded, listed and compared with pickle."""

from __future__ import annotations

import dataclasses
import pickle
import timeit
from typing import Any, Callable, Optional

from . import _listing
from ._reconstruct import register
from _zelkor import __version__, dumps, loads


# eq=False: the members refer back to their team, and comparing such a cycle
# field by field would never end.
@register
@dataclasses.dataclass(eq=False)
class Person:
    name: str
    skills: set[str]
    team: Optional[Team] = None


@register
@dataclasses.dataclass(eq=False)
class Team:
    name: str
    members: list[Person]
    lead: Person
    budget: dict[str, float]


def sample() -> dict[str, Any]:
    """A small graph with shared references, a cycle and registered dataclasses."""
    ada = Person("Ada", {"c++", "python"})
    bo = Person("Bo", {"python"})
    team = Team("core", [ada, bo], lead=ada, budget={"travel": 1200.0, "tools": 350.5})
    ada.team = bo.team = team  # cycle: team -> members -> person -> team
    return {"team": team, "by_name": {p.name: p for p in team.members}, "tags": ("demo", 7, b"\x00\xff")}


def _best(func: Callable[[], object]) -> float:
    """Seconds per call, best of five runs of about 20 ms each."""
    timer = timeit.Timer(func)
    number = 1
    while (elapsed := timer.timeit(number)) < 0.02:
        number *= 10 if elapsed < 0.002 else 2
    return min(timer.repeat(5, number)) / number


def run(out: Callable[[str], None] = print) -> None:
    """Print the demo to ``out``, one line per call."""
    graph = sample()
    blob = dumps(graph)
    back = loads(blob, allowlist={"Person", "Team"})
    team = back["team"]
    out(f"zelkor {__version__}: a graph of dicts, a tuple, sets and two registered dataclasses")
    out(f"(Person, Team) whose members refer back to their team, saved in {len(blob)} bytes.")
    out("")
    out("Loaded with allowlist={'Person', 'Team'}:")
    checks = [
        ("type(team) is Team", type(team) is Team),
        ("team.lead is team.members[0]  (shared reference)", team.lead is team.members[0]),
        ("by_name['Bo'] is team.members[1]  (shared reference)", back["by_name"]["Bo"] is team.members[1]),
        ("team.members[0].team is team  (cycle)", team.members[0].team is team),
        ("team.budget == {'travel': 1200.0, 'tools': 350.5}", team.budget == graph["team"].budget),
        ("team.lead.skills == {'c++', 'python'}", team.lead.skills == {"c++", "python"}),
    ]
    for text, ok in checks:
        out(f"  {text:<55} {ok}")
    if not all(ok for _, ok in checks):
        raise SystemExit("demo: the loaded graph differs from the saved one")
    out("")
    out("python -m zelkor inspect lists the blob without loading it:")
    for line in _listing.listing(blob).splitlines():
        out("  " + line)
    out("")
    pickled = pickle.dumps(graph, protocol=5)
    rows = [
        ("zelkor", len(blob), _best(lambda: dumps(graph)), _best(lambda: loads(blob))),
        ("pickle 5", len(pickled), _best(lambda: pickle.dumps(graph, protocol=5)),
         _best(lambda: pickle.loads(pickled))),
    ]
    out("The same graph against pickle (best of five runs; pickle's loads may run any code")
    out("a blob names, zelkor's runs none):")
    out(f"  {'':<9} {'bytes':>6} {'dumps':>10} {'loads':>10}")
    for name, size, save, load in rows:
        out(f"  {name:<9} {size:>6} {save * 1e6:>8.2f} us {load * 1e6:>8.2f} us")
